#!/usr/bin/python3
"""Sends one receipt to a shop's fiskald through an MQTT 5 broker and
prints its answers until the receipt reaches a final state.

    send.py --broker mqtt://HOST[:PORT] --shop ID [options] FILE

FILE is a fiskal.txt (sent as text/plain) or a JSON receipt named *.json
(sent as application/json); `-` reads standard input (JSON when its first
byte other than white space is `{`). --type text|json says it outright.

What it does, as a chain's server would (service/asyncapi.yaml describes
the topics and messages):
  1. connects (MQTT 5) and subscribes, before publishing, at QoS 1 to a
     Response Topic of its own, fiskal/<shop>/answers/<random>, and to
     fiskal/<shop>/status, the retained presence of the shop's fiskald;
  2. publishes FILE to fiskal/<shop>/receipts at QoS 1, not retained, with
     Content Type, Correlation Data = the Idempotency-Key (--key-id, else a
     fresh UUID), Response Topic, and with --expiry a Message Expiry
     Interval (the receipt's deadline: it ends not_sent if its first text
     has not gone out by then);
  3. prints each answer on standard output as it comes, one line each: the
     receipt's state and the receipt's JSON (a state already printed, from
     a repeat, is not printed again), or `problem STATUS` and the problem's
     JSON;
  4. with no answer to a publish, publishes again under the same key after
     5 s, then 10, 20, ... up to 60 s apart; and again whenever the broker
     lost this client's session (a broker restarted without persistence:
     answers meanwhile are lost, a repeat brings the receipt as it is
     now). That is safe: fiskald takes a key once, and answers a repeat
     with the stored receipt. fiskald's presence and what the broker is
     doing are told on standard error.

The receipt's final states are printed, not_sent, cut, in_doubt and
resolved_*; cut and in_doubt wait for a person who looks at the printer
(POST /v1/receipts/{id}/resolve on the shop's fiskald).

Exit status:
  0  the receipt reached a final state (whichever: not_sent is final too);
  1  a problem came: the receipt was refused, and nothing was stored;
  2  no final state within --wait seconds (default 60). The receipt may
     still print later (fiskald may be away, its broker session keeps the
     receipt): publish it again with --key-id KEY, the key printed at the
     start, to learn its state; never under a fresh key;
  3  the broker could not be reached, or refused the connection or the
     subscription;
  64 wrong usage.

Options:
  --ca FILE                CA certificates for mqtts (default: the system's)
  --cert FILE --key FILE   a client certificate for mqtts (both or neither)
  --user NAME --password-file FILE   the broker's user and password (the
                           file's first line)
  --key-id KEY             the Idempotency-Key: 1 to 255 visible ASCII
                           characters (the same key over HTTP is the same
                           receipt)
  --wait SECONDS           how long to wait for a final state (default 60)
  --expiry SECONDS         the receipt's deadline (Message Expiry Interval)
  --type text|json         the payload's form, whatever FILE is called

The broker's acknowledgement of a publish is not shown: this client library
(python3-paho-mqtt 1.6.1) does not pass on its reason code, so a broker
whose access list forbids fiskal/<shop>/receipts to this user looks like a
fiskald that is away: no answer. Mosquitto likewise grants a subscription
it forbids, then delivers nothing on it.

Needs Debian's python3-paho-mqtt (apt-get install python3-paho-mqtt).
"""

import argparse
import json
import math
import queue
import ssl
import sys
import threading
import time
import urllib.parse
import uuid

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties
from paho.mqtt.subscribeoptions import SubscribeOptions

FINAL_STATES = {"printed", "not_sent", "cut", "in_doubt", "resolved_printed",
                "resolved_not_printed"}
SHOP_CHARS = set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-")
FIRST_RETRY_SECONDS = 5
LAST_RETRY_SECONDS = 60
KEEPALIVE_SECONDS = 30

EXIT_FINAL, EXIT_PROBLEM, EXIT_TIMEOUT, EXIT_BROKER, EXIT_USAGE = 0, 1, 2, 3, 64


class Usage(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        sys.stderr.write(f"send.py: {message}\n")
        sys.exit(EXIT_USAGE)


def note(text):
    sys.stderr.write(f"send.py: {text}\n")
    sys.stderr.flush()


def parse_args(argv):
    p = Usage(prog="send.py", description="Sends one receipt to a shop's fiskald "
              "through an MQTT 5 broker and prints its answers.",
              epilog="Exit status: 0 final state, 1 problem, 2 no final state in time, "
              "3 broker refused or unreachable, 64 wrong usage.")
    p.add_argument("--broker", required=True, help="mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)")
    p.add_argument("--shop", required=True, help="the shop's id (fiskald's --shop)")
    p.add_argument("--ca", help="CA certificates for mqtts (default: the system's)")
    p.add_argument("--cert", help="client certificate for mqtts")
    p.add_argument("--key", help="the client certificate's key")
    p.add_argument("--user", help="the broker's user name")
    p.add_argument("--password-file", help="the broker's password: the file's first line")
    p.add_argument("--key-id", help="the Idempotency-Key (default: a fresh UUID)")
    p.add_argument("--wait", type=float, default=60, metavar="SECONDS",
                   help="how long to wait for a final state (default 60)")
    p.add_argument("--expiry", type=int, metavar="SECONDS",
                   help="the receipt's deadline: its Message Expiry Interval")
    p.add_argument("--type", choices=("text", "json"), help="the payload's form (default: by FILE's name)")
    p.add_argument("file", metavar="FILE", help="a fiskal.txt or a .json receipt; - for standard input")
    a = p.parse_args(argv)

    url = urllib.parse.urlsplit(a.broker)
    try:
        port = url.port
    except ValueError:
        p.error(f"--broker {a.broker}: the port must be 1 to 65535")
    if (url.scheme not in ("mqtt", "mqtts") or not url.hostname or url.username
            or url.path not in ("", "/") or url.query or url.fragment):
        p.error(f"--broker {a.broker}: give mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
    a.tls = url.scheme == "mqtts"
    a.host = url.hostname
    a.port = port or (8883 if a.tls else 1883)
    if not a.tls and (a.ca or a.cert or a.key):
        p.error("--ca, --cert and --key are for mqtts:// only")
    if bool(a.cert) != bool(a.key):
        p.error("give --cert and --key both, or neither")
    if bool(a.user) != bool(a.password_file):
        p.error("give --user and --password-file both, or neither")
    if not 1 <= len(a.shop) <= 64 or not set(a.shop) <= SHOP_CHARS:
        p.error(f"--shop {a.shop!r}: 1 to 64 of A-Z a-z 0-9 . _ -")
    if a.key_id is None:
        a.key_id = str(uuid.uuid4())
    if not 1 <= len(a.key_id) <= 255 or any(not 0x21 <= ord(c) <= 0x7E for c in a.key_id):
        p.error("--key-id: 1 to 255 visible ASCII characters (no space)")
    if not a.wait > 0:
        p.error("--wait: a number of seconds above 0")
    if a.expiry is not None and not 1 <= a.expiry <= 4294967295:
        p.error("--expiry: 1 to 4294967295 seconds")
    return a


def read_receipt(a):
    """The payload and its content type."""
    try:
        if a.file == "-":
            body = sys.stdin.buffer.read()
        else:
            with open(a.file, "rb") as f:
                body = f.read()
    except OSError as e:
        note(f"cannot read {a.file}: {e.strerror}")
        sys.exit(EXIT_USAGE)
    kind = a.type
    if kind is None:
        if a.file == "-":
            kind = "json" if body.lstrip()[:1] == b"{" else "text"
        else:
            kind = "json" if a.file.lower().endswith(".json") else "text"
    return body, "application/json" if kind == "json" else "text/plain"


def password(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.readline().rstrip("\r\n")
    except OSError as e:
        note(f"cannot read {path}: {e.strerror}")
        sys.exit(EXIT_USAGE)


def new_client(client_id):
    if hasattr(mqtt, "CallbackAPIVersion"):  # paho-mqtt 2: the 1.6 callbacks, as written here
        return mqtt.Client(mqtt.CallbackAPIVersion.VERSION1, client_id=client_id,
                           protocol=mqtt.MQTTv5)
    return mqtt.Client(client_id=client_id, protocol=mqtt.MQTTv5)


def describe_presence(shop, payload):
    try:
        p = json.loads(payload)
    except ValueError:
        return f"fiskald of shop {shop}: a presence that is not JSON: {payload[:200]!r}"
    if not isinstance(p, dict) or not p.get("online"):
        return (f"fiskald of shop {shop} is offline; the broker keeps receipts for it "
                "until it is back (for as long as its session lasts)")
    ports = ", ".join(str(x.get("port")) for x in p.get("printers", []) if isinstance(x, dict))
    return f"fiskald {p.get('version', '?')} of shop {shop} is online, ports: {ports or 'none'}"


def main(argv):
    a = parse_args(argv)
    body, content_type = read_receipt(a)
    key = a.key_id.encode("ascii")
    answers = f"fiskal/{a.shop}/answers/{uuid.uuid4().hex}"
    receipts = f"fiskal/{a.shop}/receipts"
    status = f"fiskal/{a.shop}/status"
    start = time.monotonic()
    deadline = start + a.wait
    note(f"{a.file}: {content_type}, {len(body)} bytes, key {a.key_id}; answers on {answers}")

    events = queue.Queue()
    client = new_client(f"send-{a.shop}-{uuid.uuid4().hex[:12]}")
    client.on_connect = lambda c, u, flags, rc, props: events.put(("connected", flags, rc))
    client.on_subscribe = lambda c, u, mid, rcs, props: events.put(("subscribed", rcs))
    client.on_message = lambda c, u, msg: events.put(("message", msg))
    client.on_disconnect = lambda c, u, rc, props=None: events.put(("disconnected", rc))
    if a.user:
        client.username_pw_set(a.user, password(a.password_file))
    if a.tls:
        try:
            client.tls_set(ca_certs=a.ca, certfile=a.cert, keyfile=a.key,
                           cert_reqs=ssl.CERT_REQUIRED, tls_version=ssl.PROTOCOL_TLS_CLIENT)
        except OSError as e:
            note(f"cannot use the TLS files: {e}")
            return EXIT_USAGE
    client.reconnect_delay_set(1, 30)
    # A session that outlives a short break: answers published meanwhile
    # wait at the broker. It is ended on leaving.
    connect_props = Properties(PacketTypes.CONNECT)
    connect_props.SessionExpiryInterval = math.ceil(a.wait) + 60
    try:
        client.connect(a.host, a.port, keepalive=KEEPALIVE_SECONDS,
                       clean_start=mqtt.MQTT_CLEAN_START_FIRST_ONLY, properties=connect_props)
    except OSError as e:
        note(f"cannot reach the broker {a.broker}: {e}")
        return EXIT_BROKER
    leaving = threading.Event()

    def network():
        # paho-mqtt 1.6 reconnects by itself after a lost connection, but
        # lets a TLS error out of its loop (a client certificate the broker
        # wants and did not get shows only after the handshake).
        while True:
            try:
                client.loop_forever(retry_first_connection=True)
                return
            except Exception as e:  # whatever it is, the main thread tells it
                if leaving.is_set():
                    return
                events.put(("failed", e))
                time.sleep(1)
                try:
                    client.reconnect()
                except OSError:
                    pass

    thread = threading.Thread(target=network, daemon=True)
    thread.start()
    connected = False

    def publish():
        props = Properties(PacketTypes.PUBLISH)
        props.ContentType = content_type
        props.CorrelationData = key
        props.ResponseTopic = answers
        if a.expiry is not None:
            # The deadline stays where the first publish put it.
            left = a.expiry if first_publish is None else a.expiry - (time.monotonic() - first_publish)
            if left < 1:
                note("the receipt's deadline has passed: not publishing it again")
                return False
            props.MessageExpiryInterval = math.ceil(left)
        info = client.publish(receipts, body, qos=1, retain=False, properties=props)
        if info.rc != mqtt.MQTT_ERR_SUCCESS:
            note(f"publishing failed: {mqtt.error_string(info.rc)}")
            return False
        return True

    first_publish = None
    next_retry = None
    retry = FIRST_RETRY_SECONDS
    awaiting = False  # published, and no answer since
    printed_states = set()
    presence = None
    try:
        while True:
            now = time.monotonic()
            if now >= deadline:
                break
            if awaiting and next_retry is not None and now >= next_retry:
                note(f"no answer in {retry} s: publishing again under key {a.key_id}")
                retry = min(retry * 2, LAST_RETRY_SECONDS)
                next_retry = now + retry if publish() else None
            wait_until = min(deadline, next_retry) if awaiting and next_retry else deadline
            try:
                event = events.get(timeout=max(0.0, wait_until - time.monotonic()))
            except queue.Empty:
                continue
            kind = event[0]
            if kind == "connected":
                _, flags, rc = event
                if rc.value != 0:
                    note(f"the broker refused the connection: {rc}")
                    return EXIT_BROKER
                connected = True
                if flags.get("session present"):
                    continue  # subscribed already; answers kept meanwhile follow
                client.subscribe([(answers, SubscribeOptions(qos=1)),
                                  (status, SubscribeOptions(qos=1))])
            elif kind == "subscribed":
                codes = event[1]
                if codes[0].value >= 0x80:
                    note(f"the broker refused the subscription to {answers}: {codes[0]}")
                    return EXIT_BROKER
                if len(codes) > 1 and codes[1].value >= 0x80:
                    note(f"the broker refused the subscription to {status}: {codes[1]}")
                # Subscribed: publish. Subscribed again (the broker lost this
                # client's session, and with it any answer meanwhile): publish
                # again, to be answered with the receipt as it is now.
                if first_publish is None:
                    first_publish = time.monotonic()
                else:
                    note(f"subscribed again: publishing again under key {a.key_id}")
                awaiting = publish()
                next_retry = time.monotonic() + retry if awaiting else None
            elif kind == "failed":
                if not connected:
                    note(f"cannot connect to the broker {a.broker}: {event[1]}")
                    return EXIT_BROKER
                note(f"the connection to the broker failed ({event[1]}); connecting again")
            elif kind == "disconnected":
                rc = event[1]
                if rc != 0:
                    why = mqtt.error_string(rc) if isinstance(rc, int) else str(rc)
                    note(f"the connection to the broker was lost ({why}); connecting again")
            elif kind == "message":
                msg = event[1]
                text = msg.payload.decode("utf-8", "replace")
                if msg.topic == status:
                    told = describe_presence(a.shop, msg.payload)
                    if told != presence:  # it comes again at each change of a printer
                        note(told)
                    presence = told
                    continue
                if msg.topic != answers:
                    continue
                props = msg.properties
                if getattr(props, "CorrelationData", None) != key:
                    note(f"an answer for another key on {answers}, ignored: {text[:200]}")
                    continue
                awaiting = False
                media = getattr(props, "ContentType", "").split(";")[0].strip().lower()
                if media == "application/problem+json":
                    try:
                        code = json.loads(text).get("status", "?")
                    except (ValueError, AttributeError):
                        code = "?"
                    print(f"problem {code} {text}", flush=True)
                    return EXIT_PROBLEM
                if media != "application/json":
                    note(f"an answer of content type {media or '(none)'}, not understood: {text[:200]}")
                    continue
                state = dict(getattr(props, "UserProperty", [])).get("state")
                if state is None:
                    try:
                        state = json.loads(text).get("state")
                    except (ValueError, AttributeError):
                        state = None
                if state not in printed_states:
                    printed_states.add(state)
                    print(f"{state} {text}", flush=True)
                if state in FINAL_STATES:
                    return EXIT_FINAL
        if printed_states:
            note(f"no final state within {a.wait:g} s; the receipt is stored and may still "
                 f"print: publish it again with --key-id {a.key_id} to learn its state")
        else:
            note(f"no answer within {a.wait:g} s. "
                 + (presence + ". " if presence else f"No presence on {status} either: is the "
                    "shop id right, and may this user read it? ")
                 + "The broker may also refuse the publish unseen (not authorised for "
                 f"{receipts}). The receipt may still print: publish it again with "
                 f"--key-id {a.key_id}, never under a fresh key")
        return EXIT_TIMEOUT
    finally:
        # Leave, ending the session: nothing is to be kept for this client.
        bye = Properties(PacketTypes.DISCONNECT)
        bye.SessionExpiryInterval = 0
        leaving.set()
        try:
            client.disconnect(properties=bye)
        except OSError:
            pass  # the connection is gone already
        thread.join(timeout=5)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
