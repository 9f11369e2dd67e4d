// Who may ask lbhost serve for what, decided from the request line and two headers before
// anything else is read or done.
//
// Every address the server answers starts with a random token that lbhost prints: a request
// without it is refused, on 127.0.0.1 as on a studio network. Requests that change anything
// are POST. The Host header must name this server by an address (never a DNS name other than
// localhost and this computer's own name), which defeats DNS rebinding; an Origin header, which browsers send with every
// POST and with cross-site reads, must be this server's own, so a page from elsewhere open in
// the same browser can neither act nor read. No part of a request names a file: pictures are
// asked for by the number the session gave them.
// Portable; every method is const and may be called from any thread.
#pragma once

#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "lbhost/core/command_line.h"
#include "lbhost/core/listen_address.h"

enum class ServeRoute { Page, Style, Script, Live, Events, Picture, Command, AddSlash };

struct ServeRequest {
  std::string method;           // "GET", "POST", ...
  std::string target;           // as on the request line: "/TOKEN/picture/3?x"
  std::string host;             // the Host header; empty when absent
  std::string origin;           // the Origin header; empty when absent
  std::size_t hostHeaders = 1;  // how many Host headers the request had
};

struct ServeDecision {
  int status = 200;    // 200 to serve the route; else the refusal's HTTP status
  std::string reason;  // a refusal: one sentence for the person who sees it
  ServeRoute route = ServeRoute::Page;
  std::string argument;  // Picture: the picture's number; Command: the action's name
};

class CServeAccess {
 public:
  // `listenHost` is the address the server listens on ("127.0.0.1", "0.0.0.0", "::");
  // `machineName` is this computer's host name ("mypc"), empty when unknown.
  CServeAccess(std::string listenHost, unsigned short port, std::string token,
               std::string machineName = std::string());

  ServeDecision decide(const ServeRequest& request) const;
  // The address to open: "http://127.0.0.1:5513/TOKEN/". `host` is the address to print
  // in place of 0.0.0.0.
  std::string pageAddress(const std::string& host) const;
  const std::string& token() const { return m_token; }

 private:
  bool hostAllowed(const std::string& host) const;

  std::string m_listenHost;
  unsigned short m_port;
  std::string m_token;
  std::string m_machineName;  // in lower case
};

// How many connections are served at once, in all and from one client address, so that one
// client (a phone left open, a flood of idle connections) cannot take every place from the
// others. Web thread only.
class CServeAdmission {
 public:
  // Serve: read and served. Full, AddressFull: given a short page that says why. Drop:
  // closed unread, as too many are being refused already.
  enum class Verdict { Serve, Full, AddressFull, Drop };

  CServeAdmission(int maxServed, int maxPerAddress)
      : m_maxServed(maxServed), m_maxPerAddress(maxPerAddress) {}

  // Takes a place for a new connection from `address`; release() gives it back.
  Verdict admit(const std::string& address);
  void release(const std::string& address, Verdict verdict);

 private:
  int m_maxServed;
  int m_maxPerAddress;
  int m_served = 0;
  int m_refused = 0;  // refused ones are bounded apart, so a flood of them takes no served place
  std::map<std::string, int> m_servedFrom;  // served connections by client address
};

// A refusal or a problem as a small page a person can read: "404 Not Found" and the reason,
// escaped, as the reason may quote the request.
std::string ServeProblemPage(int status, const std::string& statusText, const std::string& reason);

// The token as text: the bytes in lower-case hex.
std::string ServeTokenText(const unsigned char* bytes, std::size_t count);

// One Server-Sent Event: "event: NAME\ndata: JSON\n\n".
std::string ServerSentEvent(const std::string& name, const nlohmann::json& data);

// A command from the page: the step named by its address ("capture") and the words after it
// as the JSON body {"words": ["--count", "3"]} carries them, checked as the command line
// checks them. A usage failure when the body or the words are wrong.
Result<Step> ParsePageCommand(const std::string& step, const std::string& body);
