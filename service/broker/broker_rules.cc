#include "service/broker/broker_rules.h"

#include <cstdlib>

#include "service/intake/receipt_form.h"

namespace fiskal::service {

std::string ReceiptsTopic(const std::string& shop) { return "fiskal/" + shop + "/receipts"; }
std::string StatesTopic(const std::string& shop) { return "fiskal/" + shop + "/states"; }
std::string StatusTopic(const std::string& shop) { return "fiskal/" + shop + "/status"; }

bool ReadReceiptMessage(const std::string& shop, const ReceiptMessage& m, std::int64_t now_ms,
                        Submission* submission, MessageRefusal* refusal) {
  const std::string shop_prefix = "fiskal/" + shop + "/";
  auto refuse = [&](const std::string& to, int status, const std::string& detail) {
    *refusal = MessageRefusal{to, m.correlation.value_or(""), status, detail};
    return false;
  };
  if (m.response_topic) {
    const std::string& r = *m.response_topic;
    if (r.rfind(shop_prefix, 0) != 0 || r.size() == shop_prefix.size() ||
        r.find_first_of("+#") != std::string::npos) {
      return refuse(StatesTopic(shop), 400,
                    "the Response Topic must be a topic under " + shop_prefix +
                        " (answers are published in the shop's own topics only)");
    }
  }
  const std::string to = m.response_topic.value_or(StatesTopic(shop));
  if (!m.correlation || !ValidKey(*m.correlation)) {
    return refuse(to, 400,
                  m.correlation ? "the Correlation Data (the Idempotency-Key) must be 1 to 255 "
                                  "visible ASCII characters"
                                : "the Correlation Data is required: the receipt's "
                                  "Idempotency-Key, a fresh one for each receipt, the same when "
                                  "it is published again");
  }
  bool json = false;
  if (auto problem = ReceiptFormOf(m.content_type.value_or(""),
                                   {"published", "without a Content Type"}, &json)) {
    return refuse(to, problem->http_status, problem->detail);
  }
  *submission = Submission{};
  submission->key = *m.correlation;
  submission->json = json;
  submission->body = m.body;
  submission->deadline_ms = m.expiry_seconds ? now_ms + std::int64_t{*m.expiry_seconds} * 1000 : 0;
  for (const std::string& text : m.deadlines) {
    submission->deadlines.push_back({"the user property deadline", text});
  }
  submission->answer_to = AnswerTo{to, *m.correlation};
  submission->wait_for_key = true;
  return true;
}

std::string SessionExpiryLine(std::int64_t asked, std::int64_t granted, bool* warning) {
  *warning = granted < asked;
  const std::string days =
      " (" + std::to_string(asked / (std::int64_t{24} * 3600)) + " days, --broker-session-days)";
  if (*warning) {
    return "warning: the broker keeps fiskald's session for " + std::to_string(granted) +
           " s only, not the " + std::to_string(asked) + " s asked" + days +
           ": receipts published while fiskald is away longer than that are lost; raise the "
           "broker's limit on session expiry, or keep fiskald's absences shorter";
  }
  return "connected; the broker keeps fiskald's session for " + std::to_string(granted) +
         (granted == asked ? " s, as asked" : " s, " + std::to_string(asked) + " s asked") + days;
}

const char* StepName(BrokerStep step) {
  switch (step) {
    case BrokerStep::kConnect:
      return "connect";
    case BrokerStep::kSubscribe:
      return "subscribe";
    case BrokerStep::kPublish:
      return "publish";
  }
  return "?";
}

std::string ClientIdOf(const std::string& shop) { return "fiskald-" + shop; }

std::string Describe(const BrokerIdentity& who) {
  std::string text;
  if (!who.user.empty()) {
    text = "user \"" + who.user + "\"";
    if (!who.certificate.empty()) text += " with the client certificate " + who.certificate;
  } else if (!who.certificate.empty()) {
    text = "the client certificate " + who.certificate;
  } else {
    text = "an anonymous client (no --broker-user, no --broker-cert)";
  }
  return text + ", client id " + who.client_id;
}

std::string AccessHint(int code, BrokerStep step, const std::string& shop,
                       const std::string& topic, const BrokerIdentity& who) {
  const std::string needs =
      "a shop needs fiskal/" + shop + "/# at the broker: to subscribe to " + ReceiptsTopic(shop) +
      " and to publish on " + StatesTopic(shop) + ", " + StatusTopic(shop) +
      " and the response topics under fiskal/" + shop + "/";
  const std::string saw = "the broker saw " + Describe(who);
  switch (code) {
    case 0x85:
      if (step != BrokerStep::kConnect) return {};
      return "the broker does not take the client id " + who.client_id +
             " (made from --shop); " + saw;
    case 0x86:
    case 0x87:
      if (step == BrokerStep::kConnect) {
        std::string hint = code == 0x86 || !who.user.empty()
                               ? "check --broker-user and the password in --broker-password-file"
                               : "the broker may want a user (--broker-user, "
                                 "--broker-password-file) or a client certificate "
                                 "(--broker-cert, --broker-key)";
        return hint + ", and that the broker's access list lets this identity connect; " + needs +
               "; " + saw;
      }
      break;
    case 0x8F:
    case 0x90:
      break;
    default:
      return {};
  }
  const std::string verb = step == BrokerStep::kSubscribe ? "subscribe to " : "publish on ";
  return "the broker's access list does not let this client " + verb + topic + "; " + needs +
         "; " + saw;
}

bool ValidShop(const std::string& shop) {
  if (shop.empty() || shop.size() > 64) return false;
  for (char c : shop) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

Status BrokerAddress(const std::string& url, std::string* address) {
  std::string rest;
  std::string scheme;
  int port = 0;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    scheme = "tcp://";
    port = 1883;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    scheme = "ssl://";
    port = 8883;
  } else {
    return Status::Error("--broker " + url + ": give mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
  }
  // An empty path ("mqtt://host:1883/", as URLs are often copied) is no path.
  if (const std::size_t slash = rest.find('/');
      slash != std::string::npos && slash + 1 == rest.size()) {
    rest.pop_back();
  }
  if (rest.find_first_of("/?#@") != std::string::npos) {
    return Status::Error("--broker " + url + ": give a host name or address, without a path, "
                         "user or query");
  }
  std::string host = rest;
  std::string port_text;
  bool has_port = false;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) return Status::Error("--broker " + url + ": no ] after [");
    host = rest.substr(0, close + 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return Status::Error("--broker " + url + ": only :PORT may follow ]");
      port_text = after.substr(1);
      has_port = true;
    }
  } else if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    port_text = rest.substr(colon + 1);
    has_port = true;
  }
  if (host.empty() || host.find_first_of("/?#@ ") != std::string::npos) {
    return Status::Error("--broker " + url + ": give a host name or address, without a path, "
                         "user or query");
  }
  if (has_port) {
    char* end = nullptr;
    const long value = std::strtol(port_text.c_str(), &end, 10);
    if (port_text.empty() || *end != '\0' || value < 1 || value > 65535 || port_text[0] == '+') {
      return Status::Error("--broker " + url + ": the port must be 1 to 65535");
    }
    port = static_cast<int>(value);
  }
  *address = scheme + host + ":" + std::to_string(port);
  return Status::Ok();
}

std::string ConnectFailureHint(const std::string& url, const std::string& tls_error,
                               const std::string& client_cert) {
  std::string address;
  if (!BrokerAddress(url, &address).ok()) return {};
  const bool tls = url.rfind("mqtts://", 0) == 0;
  const std::string authority = address.substr(address.find("://") + 3);
  const std::string port = authority.substr(authority.rfind(':') + 1);
  const auto said = [&](const char* words) { return tls_error.find(words) != std::string::npos; };
  if (said("certificate verify failed")) {
    return ": the broker's certificate is not trusted (certificate verify failed); give the CA "
           "that issued it with --broker-ca";
  }
  // An alert from the broker about fiskald's own certificate.
  if (said("certificate required") || said("alert handshake failure") ||
      said("alert bad certificate") || said("alert unknown ca") ||
      said("alert certificate unknown") || said("alert certificate expired")) {
    if (client_cert.empty()) {
      return "; the broker wants a client certificate fiskald did not give: give --broker-cert "
             "and --broker-key (TLS: " + tls_error + ")";
    }
    return "; the broker refused the client certificate " + client_cert +
           ": it must be issued by a CA the broker trusts, be valid now, and match --broker-key "
           "(TLS: " + tls_error + ")";
  }
  // Else TLS may say nothing: a plain port and a broker that wants a
  // client certificate both just end the connection.
  std::string hint = tls_error.empty() ? "" : " (TLS: " + tls_error + ")";
  hint += "; check that a broker listens at " + authority;
  if (tls) {
    hint += client_cert.empty()
                ? "; if the broker wants a client certificate, give --broker-cert and --broker-key"
                : "; if the broker refused the client certificate " + client_cert +
                      ", check that a CA the broker trusts issued it, that it is valid now and "
                      "that --broker-key is its key";
    return hint + "; if the broker's port " + port + " takes plain MQTT, give --broker mqtt://" +
           authority;
  }
  return hint + "; if the broker's port " + port + " takes TLS, give --broker mqtts://" +
         authority + " (and --broker-ca)";
}

}  // namespace fiskal::service
