#include "lbhost/serve/serve_access.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

#include "lbhost/vocabulary/valid_utf8.h"

namespace {

// Hex digits, colons and dots in brackets: an IPv6 literal as a Host header carries it. Only
// the characters are checked, which is what matters here: no DNS name can look like this.
bool IsBracketedIpv6Address(const std::string& text) {
  return text.size() > 3 && text.size() <= 47 && text.front() == '[' && text.back() == ']' &&
         text.find_first_not_of("0123456789abcdefABCDEF:.", 1) == text.size() - 1 &&
         text.find(':') != std::string::npos;
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Compares in time that does not depend on where the texts first differ, so the token cannot
// be found a letter at a time by timing refusals.
bool SameSecret(const std::string& given, const std::string& secret) {
  if (given.size() != secret.size() || secret.empty()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < secret.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
  }
  return difference == 0;
}

ServeDecision Refuse(int status, std::string reason) {
  ServeDecision decision;
  decision.status = status;
  decision.reason = std::move(reason);
  return decision;
}

}  // namespace

CServeAccess::CServeAccess(std::string listenHost, unsigned short port, std::string token,
                           std::string machineName)
    : m_listenHost(std::move(listenHost)),
      m_port(port),
      m_token(std::move(token)),
      m_machineName(LowerCase(std::move(machineName))) {}

bool CServeAccess::hostAllowed(const std::string& header) const {
  // The port must be ours; a browser leaves it out only for port 80. An IPv6 literal's
  // colons are inside its brackets.
  const std::size_t colon = header.rfind(':');
  const bool hasPort = colon != std::string::npos && header.find(']', colon) == std::string::npos;
  const std::string name = hasPort ? header.substr(0, colon) : header;
  const std::string port = hasPort ? header.substr(colon + 1) : "80";
  if (port != std::to_string(m_port)) return false;
  // localhost reaches this server only when it listens on the loopback.
  const bool everywhere = ListensEverywhere(m_listenHost);
  if (name == "localhost") return everywhere || IsLoopbackAddress(m_listenHost);
  if (!everywhere) return name == m_listenHost;
  // Listening everywhere, any address of this machine may be the one the phone used, and so
  // may the machine's own name, which an attacker's DNS cannot answer for.
  const std::string lower = LowerCase(name);
  const bool machineName =
      !m_machineName.empty() && (lower == m_machineName || lower == m_machineName + ".local");
  return IsIpv4Address(name) || IsBracketedIpv6Address(name) || machineName;
}

ServeDecision CServeAccess::decide(const ServeRequest& request) const {
  // Two Host headers could be read differently by a proxy in between and by this server.
  if (request.hostHeaders > 1)
    return Refuse(400, "A request must name the server in one Host header.");
  if (request.host.empty() || !hostAllowed(request.host)) {
    return Refuse(421, "This server answers only at the address lbhost printed, not at \"" +
                           ValidUtf8(request.host) + "\".");
  }
  if (!request.origin.empty() && request.origin != "http://" + request.host) {
    return Refuse(403, "A page from " + ValidUtf8(request.origin) +
                           " may not use this camera; open the address lbhost printed.");
  }
  std::string path = request.target.substr(0, request.target.find('?'));
  // Browsers ask for an icon at the root on their own; the answer needs no token.
  if (path == "/favicon.ico") return Refuse(404, "lbhost serve has no icon.");
  const std::string prefix = "/" + m_token;
  const std::string head = path.substr(0, path.find('/', 1));
  if (!SameSecret(head, prefix)) {
    return Refuse(
        403, "This address lacks the token lbhost printed; open the whole address it printed.");
  }
  path.erase(0, prefix.size());
  ServeDecision decision;
  auto only = [&](const char* method, ServeRoute route, std::string argument = std::string()) {
    if (request.method != method) {
      return Refuse(405, std::string("This address takes ") + method + " requests only.");
    }
    decision.route = route;
    decision.argument = std::move(argument);
    return decision;
  };
  if (path.empty()) return only("GET", ServeRoute::AddSlash);
  if (path == "/") return only("GET", ServeRoute::Page);
  if (path == "/page.css") return only("GET", ServeRoute::Style);
  if (path == "/page.js") return only("GET", ServeRoute::Script);
  if (path == "/live.mjpg") return only("GET", ServeRoute::Live);
  if (path == "/events") return only("GET", ServeRoute::Events);
  const std::string picture = "/picture/";
  if (path.compare(0, picture.size(), picture) == 0) {
    const std::string number = path.substr(picture.size());
    if (!number.empty() && number.size() <= 9 &&
        number.find_first_not_of("0123456789") == std::string::npos) {
      return only("GET", ServeRoute::Picture, number);
    }
  }
  const std::string command = "/do/";
  if (path.compare(0, command.size(), command) == 0 && path.size() > command.size() &&
      path.size() <= command.size() + 16) {
    // Browsers send Origin with every POST; a request without it did not come from the page.
    if (request.method == "POST" && request.origin.empty()) {
      return Refuse(403, "A command must come from lbhost's own page.");
    }
    return only("POST", ServeRoute::Command, path.substr(command.size()));
  }
  return Refuse(404, "There is nothing at this address; the session's pictures are on its page.");
}

CServeAdmission::Verdict CServeAdmission::admit(const std::string& address) {
  const auto found = m_servedFrom.find(address);
  const int fromAddress = found == m_servedFrom.end() ? 0 : found->second;
  if (m_served < m_maxServed && fromAddress < m_maxPerAddress) {
    ++m_served;
    ++m_servedFrom[address];
    return Verdict::Serve;
  }
  if (m_refused >= m_maxServed) return Verdict::Drop;
  ++m_refused;
  return m_served >= m_maxServed ? Verdict::Full : Verdict::AddressFull;
}

void CServeAdmission::release(const std::string& address, Verdict verdict) {
  if (verdict == Verdict::Drop) return;
  if (verdict != Verdict::Serve) {
    --m_refused;
    return;
  }
  --m_served;
  if (--m_servedFrom[address] == 0) m_servedFrom.erase(address);
}

std::string ServeProblemPage(int status, const std::string& statusText, const std::string& reason) {
  static const std::map<char, const char*> kEntities = {
      {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}};
  std::string escaped;
  for (char c : reason) {
    const auto entity = kEntities.find(c);
    escaped += entity == kEntities.end() ? std::string(1, c) : entity->second;
  }
  return "<!doctype html><html><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
         "content=\"width=device-width\"><title>lbhost serve</title></head><body><h1>" +
         std::to_string(status) + " " + statusText + "</h1><p>" + escaped + "</p></body></html>\n";
}

std::string CServeAccess::pageAddress(const std::string& host) const {
  return "http://" + host + ":" + std::to_string(m_port) + "/" + m_token + "/";
}

std::string ServeTokenText(const unsigned char* bytes, std::size_t count) {
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
  }
  return text;
}

std::string ServerSentEvent(const std::string& name, const nlohmann::json& data) {
  // dump() never writes a line break, so the data is one "data:" line.
  return "event: " + name +
         "\ndata: " + data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n\n";
}

Result<Step> ParsePageCommand(const std::string& step, const std::string& body) {
  const nlohmann::json json = nlohmann::json::parse(body.empty() ? "{}" : body, nullptr, false);
  if (!json.is_object())
    return Failure{ErrorKind::Usage, "the command's body is not a JSON object"};
  const nlohmann::json list = json.value("words", nlohmann::json::array());
  std::vector<std::string> words;
  for (const auto& word : list) {
    if (!list.is_array() || !word.is_string())
      return Failure{ErrorKind::Usage, "\"words\" must be a list of texts"};
    words.push_back(word.get<std::string>());
  }
  return ParsePageStep(ValidUtf8(step), words);
}
