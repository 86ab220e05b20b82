// What an integrator's program does with clients generated from
// openapi.json (and openapi-fetch, the runtime openapi-typescript's types
// are for): post a fiskal.txt as text/plain, read a receipt's
// transcript as bytes, page through receipts by their ids and through a
// list by its pages' "next" links. It must
// type-check against both generators' output (scripts/clients).
import createClient from "openapi-fetch";
import type { paths } from "./out/schema";
import { getTranscript, getReceipt, listReceipts, postReceipt } from "./out/hey";
import { client } from "./out/hey/client.gen";
import type { GetTranscriptResponse, Receipt } from "./out/hey";

type Post = paths["/v1/receipts"]["post"];
// The text form is a string: the bytes of fiskal.txt.
const text: Post["requestBody"]["content"]["text/plain"] = "0;THANK YOU\r\n";
// The transcript is the receipt's bytes, never JSON.
type Transcript =
  paths["/v1/receipts/{id}/transcript"]["get"]["responses"][200]["content"]["application/octet-stream"];
const transcript: Transcript = "\"ver.:0.6a\"\r\n";
// The headers an answer carries.
type Created = Post["responses"][201]["headers"];
const location: Created["Location"] = "/v1/receipts/1";
type Busy = Post["responses"][503]["headers"];
const retry: Busy["Retry-After"] = 5;

export async function integrator(id: number): Promise<[string, string, string, number]> {
  const posted = await postReceipt({
    headers: { "Idempotency-Key": "sale-0001" },
    body: { port: 0, footer: "THANK YOU", items: [] },
  });
  const receipt: Receipt | undefined = posted.data;
  const again = await getReceipt({ path: { id: receipt?.id ?? id }, query: { wait: 10 } });
  const bytes: GetTranscriptResponse | undefined = (await getTranscript({ path: { id } })).data;
  const blob: Blob | undefined = bytes;
  // A list a page at a time: the next page is older than the last one shown.
  let listed = 0;
  let page = await listReceipts({ query: { state: "in_doubt", limit: 50 } });
  for (;;) {
    const receipts: Receipt[] = page.data?.receipts ?? [];
    listed += receipts.length;
    const next: string | null | undefined = page.data?.next;
    const last = receipts[receipts.length - 1];
    if (!next || last === undefined) break;
    page = await listReceipts({ query: { state: "in_doubt", limit: 50, before: last.id } });
  }
  return [text, transcript, location + String(again.data?.state) + String(blob?.size), retry + listed];
}

// Both clients write a body as JSON unless told otherwise: a fiskal.txt
// goes as it is with the serializer switched off. openapi-fetch reads an
// answer as JSON unless told: the transcript is read as a Blob
// (@hey-api/openapi-ts does that by itself, above).
export async function textAndBytes(id: number): Promise<[number, number]> {
  const api = createClient<paths>({ baseUrl: "http://127.0.0.1:8470" });
  const posted = await api.POST("/v1/receipts", {
    params: { header: { "Idempotency-Key": "sale-0002" } },
    headers: { "Content-Type": "text/plain" },
    body: text,
    bodySerializer: (body) => body as string,
  });
  const created: number | undefined = posted.data?.id;
  const read = await api.GET("/v1/receipts/{id}/transcript", {
    params: { path: { id: created ?? id } },
    parseAs: "blob",
  });
  const bytes: Blob | undefined = read.data;
  const plain = await client.post<{ 201: Receipt }>({
    url: "/v1/receipts",
    headers: { "Idempotency-Key": "sale-0003", "Content-Type": "text/plain" },
    body: text,
    bodySerializer: null,
  });
  return [bytes?.size ?? 0, plain.data?.id ?? 0];
}
