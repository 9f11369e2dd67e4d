// The address lbhost serve listens on, as --listen gives it, and what kind of address it is.
// Portable.
#pragma once

#include <string>

// True for four numbers from 0 to 255 separated by dots, nothing else.
bool IsIpv4Address(const std::string& text);
// "ADDRESS:PORT" of --listen: a dotted IPv4 address (or "localhost", taken as 127.0.0.1), or
// "[::]" for every address of both kinds, and a port from 1 to 65535. False with *error naming
// the problem.
bool ParseListenAddress(const std::string& text, std::string* host, unsigned short* port,
                        std::string* error);

// True for an address in 127.0.0.0/8.
bool IsLoopbackAddress(const std::string& host);
// True for 0.0.0.0 and ::, which listen on every address of this computer.
bool ListensEverywhere(const std::string& host);
