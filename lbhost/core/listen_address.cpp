#include "lbhost/core/listen_address.h"

#include <cstdlib>

bool IsIpv4Address(const std::string& text) {
  int parts = 0;
  std::size_t i = 0;
  while (i < text.size() || parts == 0) {
    std::size_t digits = 0;
    int value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      value = value * 10 + (text[i] - '0');
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (i == text.size()) break;
    if (text[i] != '.' || parts == 4) return false;
    ++i;
  }
  return parts == 4;
}

bool IsLoopbackAddress(const std::string& host) {
  return IsIpv4Address(host) && host.compare(0, 4, "127.") == 0;
}

bool ListensEverywhere(const std::string& host) { return host == "0.0.0.0" || host == "::"; }

bool ParseListenAddress(const std::string& text, std::string* host, unsigned short* port,
                        std::string* error) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    *error = "\"" + text + "\" is not ADDRESS:PORT (such as 127.0.0.1:5513 or 0.0.0.0:5513)";
    return false;
  }
  std::string name = text.substr(0, colon);
  if (name == "localhost") name = "127.0.0.1";
  if (name == "[::]") name = "::";
  if (!IsIpv4Address(name) && name != "::") {
    *error = "\"" + name + "\" is not an IPv4 address (such as 127.0.0.1 or 0.0.0.0) nor [::]";
    return false;
  }
  const std::string digits = text.substr(colon + 1);
  const long number = digits.empty() || digits.size() > 5 ||
                              digits.find_first_not_of("0123456789") != std::string::npos
                          ? -1
                          : std::strtol(digits.c_str(), nullptr, 10);
  if (number < 1 || number > 65535) {
    *error = "the port must be a number from 1 to 65535, not \"" + digits + "\"";
    return false;
  }
  *host = name;
  *port = static_cast<unsigned short>(number);
  return true;
}
