#!/usr/bin/python3
"""Sends one receipt to a shop's fiskald through an MQTT 5 broker and
prints its answers until the receipt reaches a final state: a chain's half
of printing each receipt exactly once.

    send.py --broker mqtt://HOST[:PORT] --shop ID [options] FILE

FILE is a fiskal.txt (sent as text/plain) or a JSON receipt named *.json
(sent as application/json); `-` reads standard input (JSON when its first
byte other than white space is `{`). --type text|json says it outright.

The rule it follows (service/broker/asyncapi.yaml, the receipts operation): a
broker may lose a receipt or an answer (a broker restarted without its
sessions, a receipt published before the shop's fiskald ever subscribed,
a full queue), so the chain publishes the receipt again under the same key
until an answer comes. fiskald takes a key once and answers a repeat with
the receipt as it is now, so every receipt still prints exactly once. In
steps:
  1. connects (MQTT 5) and subscribes, before publishing, at QoS 1 to a
     Response Topic of its own, fiskal/<shop>/answers/<random>, and to
     fiskal/<shop>/status, the retained presence of the shop's fiskald;
  2. publishes FILE to fiskal/<shop>/receipts at QoS 1, not retained, with
     Content Type, Correlation Data = the Idempotency-Key (--key-id, else a
     fresh UUID), Response Topic, and with --expiry a Message Expiry
     Interval (the receipt's deadline: it ends not_sent if its first text
     has not gone out by then);
  3. reads the broker's acknowledgement (PUBACK) of each publish: 0x10
     "no matching subscribers" means the broker dropped the receipt (the
     shop's fiskald has no session there yet, or the broker lost it):
     publish again later; another refusal (0x80 or above) is told, and
     ends the run where publishing again cannot help (not authorised, a
     topic or payload the broker will not take), else is published again
     later (quota exceeded, an error of the broker's own);
  4. with no answer to a publish, publishes again under the same key after
     --retry-after seconds (5), then twice as long each time, up to 60 s
     apart, at most --attempts times (10) in all and within --wait seconds
     (120); and again whenever the broker lost this client's session
     (answers meanwhile are lost: a repeat brings the receipt as it is
     now);
  5. prints each answer on standard output as it comes, one line each: the
     receipt's state and the receipt's JSON (a state already printed, from
     a repeat, is not printed again), or `problem STATUS` and the problem's
     JSON. A 409 or 503 problem stored nothing and asks for the same again:
     it is published again as when no answer came. fiskald's presence and
     what the broker does are told on standard error.

Every call into the MQTT client is made from this one thread, which drives
the client's network loop itself: the client library is not safe to call
from two threads at once (over TLS that garbled the stream).

Exit status:
  0  printed: the receipt is printed (printed, or resolved_printed: a person
     said it printed);
  1  a problem came: the receipt was refused, nothing was stored; mend it
     (the problem says what) and send it under a fresh key (a 409 or 503
     is published again instead, and ends as status 2 if it stays);
  2  gave up: no final state within --wait seconds or --attempts publishes.
     The receipt may still print later (fiskald may be away; the broker may
     keep the receipt for it): send it again with --key-id KEY, the key
     told at the start, to learn its state; never under a fresh key;
  3  the broker could not be reached, or refused the connection, the
     subscription or the publish for good (not authorised, ...);
  4  not printed, for sure: not_sent (nothing reached the printer: its
     deadline passed, the port failed before the first text, or a person
     gave the receipt up) or resolved_not_printed (a person said it did not
     print). Sell again under a fresh key if the sale stands;
  5  in doubt: cut (the port failed halfway) or in_doubt (fiskald stopped
     while sending). fiskald never sends it again by itself; a person looks
     at the printer and answers on the shop's page (POST
     /v1/receipts/{id}/resolve). Never send it again under a fresh key
     before that answer: it may have printed;
  64 wrong usage.

Options:
  --ca FILE                CA certificates for mqtts (default: the system's)
  --cert FILE --key FILE   a client certificate for mqtts (both or neither)
  --user NAME --password-file FILE   the broker's user and password (the
                           file's first line)
  --key-id KEY             the Idempotency-Key: 1 to 255 visible ASCII
                           characters (the same key over HTTP is the same
                           receipt); give the key of an earlier run to
                           learn that receipt's state or retry that sale
  --wait SECONDS           how long to wait for a final state (default 120)
  --attempts N             publishes of the receipt at most (default 10)
  --retry-after SECONDS    the first wait for an answer before publishing
                           again (default 5; doubles each time, up to 60)
  --expiry SECONDS         the receipt's deadline (Message Expiry Interval)
  --type text|json         the payload's form, whatever FILE is called

Needs Debian's python3-paho-mqtt (apt-get install python3-paho-mqtt).
"""

import argparse
import json
import math
import ssl
import struct
import sys
import time
import urllib.parse
import uuid

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties
from paho.mqtt.subscribeoptions import SubscribeOptions

PRINTED = {"printed", "resolved_printed"}
NOT_PRINTED = {"not_sent", "resolved_not_printed"}
IN_DOUBT = {"cut", "in_doubt"}
FINAL_STATES = PRINTED | NOT_PRINTED | IN_DOUBT
SHOP_CHARS = set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-")
LAST_RETRY_SECONDS = 60
KEEPALIVE_SECONDS = 30
FIRST_RECONNECT_SECONDS, LAST_RECONNECT_SECONDS = 1, 30

(EXIT_PRINTED, EXIT_PROBLEM, EXIT_GAVE_UP, EXIT_BROKER, EXIT_NOT_PRINTED,
 EXIT_IN_DOUBT, EXIT_USAGE) = 0, 1, 2, 3, 4, 5, 64

NO_MATCHING_SUBSCRIBERS = 0x10
# Problems that store nothing and say "the same again later": 409 (a request
# under this key is under way), 503 (fiskald is stopping, or its queue full).
AGAIN_PROBLEMS = {409, 503}
# Refusals of a publish that the same publish cannot get past: say why and
# stop. Any other refusal (0x80 unspecified, 0x83 the broker's own error,
# 0x97 quota exceeded, ...) is published again later.
FINAL_REFUSALS = {
    0x87: "not authorised to publish to this topic",
    0x90: "topic name invalid",
    0x95: "the receipt is larger than the broker takes",
    0x99: "payload format invalid",
}


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
              "through an MQTT 5 broker, publishing it again under its key until an "
              "answer comes, and prints the answers.",
              epilog="Exit status: 0 printed, 1 problem (refused), 2 gave up (no final "
              "state in time: send again with --key-id), 3 broker unreachable or refused, "
              "4 not printed (not_sent, resolved_not_printed), 5 in doubt (cut, "
              "in_doubt: a person decides), 64 wrong usage.")
    p.add_argument("--broker", required=True, help="mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)")
    p.add_argument("--shop", required=True, help="the shop's id (fiskald's --shop)")
    p.add_argument("--ca", help="CA certificates for mqtts (default: the system's)")
    p.add_argument("--cert", help="client certificate for mqtts")
    p.add_argument("--key", help="the client certificate's key")
    p.add_argument("--user", help="the broker's user name")
    p.add_argument("--password-file", help="the broker's password: the file's first line")
    p.add_argument("--key-id", help="the Idempotency-Key (default: a fresh UUID); "
                   "an earlier run's key retries that sale")
    p.add_argument("--wait", type=float, default=120, metavar="SECONDS",
                   help="how long to wait for a final state (default 120)")
    p.add_argument("--attempts", type=int, default=10, metavar="N",
                   help="publishes of the receipt at most (default 10)")
    p.add_argument("--retry-after", type=float, default=5, metavar="SECONDS",
                   help="first wait for an answer before publishing again (default 5; "
                   f"doubles, up to {LAST_RETRY_SECONDS})")
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
    if not 0 < a.wait <= 86400:
        p.error("--wait: seconds above 0, at most 86400")
    if not 1 <= a.attempts <= 1000:
        p.error("--attempts: 1 to 1000")
    if not 0.1 <= a.retry_after <= LAST_RETRY_SECONDS:
        p.error(f"--retry-after: 0.1 to {LAST_RETRY_SECONDS} seconds")
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


class Client(mqtt.Client):
    """The library's client, keeping the reason code of each PUBACK (which
    paho-mqtt 1.6 reads and does not hand on) by message id."""

    def __init__(self, client_id):
        if hasattr(mqtt, "CallbackAPIVersion"):  # paho-mqtt 2: the 1.6 callbacks, as written here
            super().__init__(mqtt.CallbackAPIVersion.VERSION1, client_id=client_id,
                             protocol=mqtt.MQTTv5)
        else:
            super().__init__(client_id=client_id, protocol=mqtt.MQTTv5)
        self.puback_reasons = {}

    def _handle_pubackcomp(self, cmd):
        packet = self._in_packet["packet"]
        if cmd == "PUBACK" and len(packet) >= 2:
            mid, = struct.unpack("!H", packet[:2])
            # No reason code byte: success (MQTT 5, 3.4.2.1).
            self.puback_reasons[mid] = packet[2] if len(packet) > 2 else 0
        return super()._handle_pubackcomp(cmd)


def reason_text(code):
    try:
        return f"{mqtt.ReasonCodes(PacketTypes.PUBACK, identifier=code)} (0x{code:02X})"
    except (KeyError, ValueError, TypeError):
        return f"0x{code:02X}"


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


def state_exit(state):
    if state in PRINTED:
        return EXIT_PRINTED
    if state in NOT_PRINTED:
        note(f"{state}: the receipt did not print and will not; sell again under a "
             "fresh key if the sale stands")
        return EXIT_NOT_PRINTED
    note(f"{state}: the receipt may or may not have printed; fiskald never sends it "
         "again by itself. A person looks at the printer and answers on the shop's page "
         "(POST /v1/receipts/{id}/resolve); do not send it under a fresh key before")
    return EXIT_IN_DOUBT


class Sender:
    """One receipt's run: every step in the thread that calls run()."""

    def __init__(self, a, body, content_type):
        self.a = a
        self.body = body
        self.content_type = content_type
        self.key = a.key_id.encode("ascii")
        self.answers = f"fiskal/{a.shop}/answers/{uuid.uuid4().hex}"
        self.receipts = f"fiskal/{a.shop}/receipts"
        self.status = f"fiskal/{a.shop}/status"
        self.events = []  # what the callbacks saw, handled by run()
        self.client = Client(f"send-{a.shop}-{uuid.uuid4().hex[:12]}")
        c = self.client
        c.on_connect = lambda cl, u, flags, rc, props: self.events.append(("connected", flags, rc))
        c.on_subscribe = lambda cl, u, mid, rcs, props: self.events.append(("subscribed", rcs))
        c.on_message = lambda cl, u, msg: self.events.append(("message", msg))
        c.on_publish = lambda cl, u, mid: self.events.append(("acknowledged", mid))
        c.on_disconnect = lambda cl, u, rc, props=None: self.events.append(("disconnected", rc))

        self.link = False  # a connection is open (CONNACK or not)
        self.connected = False  # and the broker took it
        self.ever_connected = False
        self.next_connect = None  # when to connect again, once the connection is gone
        self.reconnect_wait = FIRST_RECONNECT_SECONDS
        self.subscribed = False
        self.publishes = 0
        self.first_publish = None
        self.pending_mid = None  # the publish whose PUBACK is awaited
        self.next_publish = None  # when to publish (again), unless an answer comes
        self.give_up_at = None  # after the last attempt: when to stop waiting for an answer
        self.retry = a.retry_after
        self.answered = False  # an answer (a state) came since the last publish
        self.printed_states = set()
        self.presence = None

    # The connection --------------------------------------------------------

    def setup(self):
        a = self.a
        if a.user:
            self.client.username_pw_set(a.user, password(a.password_file))
        if a.tls:
            try:
                self.client.tls_set(ca_certs=a.ca, certfile=a.cert, keyfile=a.key,
                                    cert_reqs=ssl.CERT_REQUIRED,
                                    tls_version=ssl.PROTOCOL_TLS_CLIENT)
            except OSError as e:
                note(f"cannot use the TLS files: {e}")
                return EXIT_USAGE
        return None

    def connect(self):
        """Connects (again); False when it could not, told."""
        try:
            if not self.ever_connected:
                # A session that outlives a short break: answers published
                # meanwhile wait at the broker. It is ended on leaving.
                props = Properties(PacketTypes.CONNECT)
                props.SessionExpiryInterval = math.ceil(self.a.wait) + 60
                self.client.connect(self.a.host, self.a.port, keepalive=KEEPALIVE_SECONDS,
                                    clean_start=mqtt.MQTT_CLEAN_START_FIRST_ONLY,
                                    properties=props)
            else:
                self.client.reconnect()
            self.link = True
            return True
        except (OSError, ssl.SSLError) as e:
            self.lost(f"cannot reach the broker {self.a.broker}: {e}")
            return False

    def lost(self, why):
        """The connection is gone: connect again later, with back-off."""
        if why:
            note(f"{why}; connecting again in {self.reconnect_wait} s")
        self.link = False
        self.connected = False
        self.next_connect = time.monotonic() + self.reconnect_wait
        self.reconnect_wait = min(self.reconnect_wait * 2, LAST_RECONNECT_SECONDS)
        # A publish not yet acknowledged is sent again by the library on
        # the next connection, under the same message id.

    # Publishing ------------------------------------------------------------

    def publish(self):
        a = self.a
        props = Properties(PacketTypes.PUBLISH)
        props.ContentType = self.content_type
        props.CorrelationData = self.key
        props.ResponseTopic = self.answers
        now = time.monotonic()
        if a.expiry is not None:
            # The deadline stays where the first publish put it.
            left = a.expiry if self.first_publish is None else a.expiry - (now - self.first_publish)
            if left < 1:
                note("the receipt's deadline has passed: not publishing it again; waiting "
                     "for its answer")
                self.next_publish = None
                return
            props.MessageExpiryInterval = math.ceil(left)
        if self.first_publish is None:
            self.first_publish = now
        self.publishes += 1
        info = self.client.publish(self.receipts, self.body, qos=1, retain=False,
                                   properties=props)
        self.answered = False
        if info.rc != mqtt.MQTT_ERR_SUCCESS:
            note(f"publishing failed: {mqtt.error_string(info.rc)}")
            self.pending_mid = None
        else:
            self.pending_mid = info.mid
        self.schedule_again(now)

    def schedule_again(self, now):
        """Publish again after the current back-off unless an answer comes
        first; none after the last attempt."""
        if self.publishes >= self.a.attempts:
            self.next_publish = None
            self.give_up_at = now + self.retry
            return
        self.next_publish = now + self.retry
        self.retry = min(self.retry * 2, LAST_RETRY_SECONDS)

    def acknowledged(self, mid):
        """The broker's PUBACK of a publish; an exit status when it ends the run."""
        code = self.client.puback_reasons.pop(mid, 0)
        if mid != self.pending_mid:
            return None  # an earlier publish of the same receipt
        self.pending_mid = None
        if code < 0x80 and code != NO_MATCHING_SUBSCRIBERS:
            return None  # taken; the answer follows
        if code in FINAL_REFUSALS:
            note(f"the broker refused the receipt on {self.receipts}: {reason_text(code)}, "
                 f"{FINAL_REFUSALS[code]}")
            return EXIT_BROKER
        if code == NO_MATCHING_SUBSCRIBERS:
            why = ("the broker dropped the receipt: no subscriber (the shop's fiskald has no "
                   "session there yet, or the broker lost it)")
        else:
            why = f"the broker refused the receipt: {reason_text(code)}"
        if self.next_publish is None:
            note(f"{why}; that was the last attempt ({self.a.attempts})")
            self.give_up_at = time.monotonic()
        else:
            note(f"{why}; publishing again in "
                 f"{max(0.0, self.next_publish - time.monotonic()):.1f} s")
        return None

    # Answers ---------------------------------------------------------------

    def message(self, msg):
        """An answer or a presence; an exit status when it ends the run."""
        text = msg.payload.decode("utf-8", "replace")
        if msg.topic == self.status:
            told = describe_presence(self.a.shop, msg.payload)
            if told != self.presence:  # it comes again at each change of a printer
                note(told)
            self.presence = told
            return None
        if msg.topic != self.answers:
            return None
        props = msg.properties
        if getattr(props, "CorrelationData", None) != self.key:
            note(f"an answer for another key on {self.answers}, ignored: {text[:200]}")
            return None
        media = getattr(props, "ContentType", "").split(";")[0].strip().lower()
        if media == "application/problem+json":
            try:
                code = json.loads(text).get("status", "?")
            except (ValueError, AttributeError):
                code = "?"
            print(f"problem {code} {text}", flush=True)
            if code not in AGAIN_PROBLEMS:
                return EXIT_PROBLEM
            # Not stored (fiskald stopping, or the key busy): the same again
            # later, as if no answer had come.
            now = time.monotonic()
            self.answered = False
            self.next_publish = None
            if self.publishes >= self.a.attempts:
                note(f"problem {code}: not stored; that was the last attempt ({self.a.attempts})")
                self.give_up_at = now
            else:
                note(f"problem {code}: not stored; publishing again under key "
                     f"{self.a.key_id} in {self.retry:g} s")
                self.next_publish = now + self.retry
                self.retry = min(self.retry * 2, LAST_RETRY_SECONDS)
            return None
        if media != "application/json":
            note(f"an answer of content type {media or '(none)'}, not understood: {text[:200]}")
            return None
        state = dict(getattr(props, "UserProperty", [])).get("state")
        if state is None:
            try:
                state = json.loads(text).get("state")
            except (ValueError, AttributeError):
                state = None
        # The receipt is stored: fiskald's answers from here on come by
        # themselves (it keeps them until the broker takes them).
        self.answered = True
        self.next_publish = None
        self.give_up_at = None
        if state not in self.printed_states:
            self.printed_states.add(state)
            print(f"{state} {text}", flush=True)
        if state in FINAL_STATES:
            return state_exit(state)
        return None

    def handle(self, event):
        """One event the client's callbacks saw; an exit status when it ends the run."""
        kind = event[0]
        if kind == "connected":
            _, flags, rc = event
            if rc.value != 0:
                if not self.ever_connected:
                    note(f"the broker refused the connection: {rc}")
                    return EXIT_BROKER
                self.client._sock_close()
                self.lost(f"the broker refused the connection: {rc}")
                return None
            self.connected = True
            self.ever_connected = True
            self.reconnect_wait = FIRST_RECONNECT_SECONDS
            if flags.get("session present") and self.subscribed:
                return None  # subscribed already; answers kept meanwhile follow
            if self.subscribed:
                note("the broker lost this client's session, and any answer kept in it")
            self.subscribed = False
            self.client.subscribe([(self.answers, SubscribeOptions(qos=1)),
                                   (self.status, SubscribeOptions(qos=1))])
        elif kind == "subscribed":
            codes = event[1]
            if codes[0].value >= 0x80:
                note(f"the broker refused the subscription to {self.answers}: {codes[0]}")
                return EXIT_BROKER
            if len(codes) > 1 and codes[1].value >= 0x80:
                note(f"the broker refused the subscription to {self.status}: {codes[1]}")
            self.subscribed = True
            # Subscribed: publish. Subscribed again (the broker lost this
            # client's session, and with it any answer meanwhile): publish
            # again, to be answered with the receipt as it is now.
            if self.publishes == 0:
                self.next_publish = time.monotonic()
            elif self.publishes < self.a.attempts:
                note(f"subscribed again: publishing again under key {self.a.key_id}")
                self.next_publish = time.monotonic()
        elif kind == "acknowledged":
            return self.acknowledged(event[1])
        elif kind == "message":
            return self.message(event[1])
        elif kind == "disconnected":
            rc = event[1]
            if self.link:
                why = mqtt.error_string(rc) if isinstance(rc, int) else str(rc)
                self.lost(f"the connection to the broker was lost ({why})")
        return None

    # The loop --------------------------------------------------------------

    def run(self):
        a = self.a
        deadline = time.monotonic() + a.wait
        note(f"{a.file}: {self.content_type}, {len(self.body)} bytes, key {a.key_id}; "
             f"answers on {self.answers}")
        if not self.connect():
            return EXIT_BROKER  # the first connection: no retrying a wrong address
        while True:
            while self.events:
                status = self.handle(self.events.pop(0))
                if status is not None:
                    return status
            now = time.monotonic()
            if now >= deadline:
                return self.give_up()
            if (self.connected and self.subscribed and self.next_publish is not None
                    and now >= self.next_publish):
                if self.publishes:
                    note(f"no answer: publishing again under key {a.key_id} "
                         f"({self.publishes + 1} of at most {a.attempts})")
                self.publish()
                continue
            if self.give_up_at is not None and now >= self.give_up_at:
                return self.give_up()
            wake = deadline
            if self.give_up_at is not None:
                wake = min(wake, self.give_up_at)
            if self.next_publish is not None and self.connected and self.subscribed:
                wake = min(wake, self.next_publish)  # else it waits for the (re)subscription
            if not self.link:
                if self.next_connect is not None and now >= self.next_connect:
                    self.next_connect = None
                    self.connect()
                    continue
                if self.next_connect is not None:
                    wake = min(wake, self.next_connect)
                time.sleep(max(0.0, wake - now))
                continue
            try:
                # Woken by the socket; at the latest in time for a keep-alive ping.
                rc = self.client.loop(timeout=max(0.0, min(wake - now, KEEPALIVE_SECONDS / 3)))
            except (OSError, ssl.SSLError) as e:
                self.client._sock_close()
                self.lost(f"the connection to the broker failed ({e})")
                continue
            if rc != mqtt.MQTT_ERR_SUCCESS and self.link and not self.events:
                self.lost(f"the connection to the broker was lost ({mqtt.error_string(rc)})")

    def give_up(self):
        a = self.a
        if self.printed_states:
            note(f"no final state within {a.wait:g} s; the receipt is stored and may still "
                 f"print: send it again with --key-id {a.key_id} to learn its state")
        else:
            note(f"no answer after {self.publishes} publish(es) within {a.wait:g} s. "
                 + (self.presence + ". " if self.presence else f"No presence on {self.status} "
                    "either: is the shop id right, and may this user read it? ")
                 + f"The receipt may still print: send it again with --key-id {a.key_id}, "
                 "never under a fresh key")
        return EXIT_GAVE_UP

    def leave(self):
        """Leaves, ending the session: nothing is to be kept for this client."""
        if not self.link:
            return
        bye = Properties(PacketTypes.DISCONNECT)
        bye.SessionExpiryInterval = 0
        try:
            self.client.disconnect(properties=bye)
            self.client.loop(timeout=0.1)  # sends it
        except (OSError, ssl.SSLError):
            pass  # the connection is gone already


def main(argv):
    a = parse_args(argv)
    body, content_type = read_receipt(a)
    sender = Sender(a, body, content_type)
    status = sender.setup()
    if status is not None:
        return status
    try:
        return sender.run()
    finally:
        sender.leave()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
