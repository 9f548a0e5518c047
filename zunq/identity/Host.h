// This host's names and address resolution, as the process entry point uses
// them for configuration bases and the line handlers for interface
// parameters. Plain functions, safe from any thread.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

// The host's name as the system reports it (it may hold dots).
std::string fullhostname();
// The host's short name: the full name up to its first dot.
std::string hostname();
// The fully qualified name: the canonical name the resolver gives for the
// host's name; the full name when the resolver knows no better.
std::string fqdn();
// The NIS netgroups the host belongs to. This layer has no NIS client, so the
// list is empty: a host without NIS belongs to none.
std::vector<std::string> nisnetgroup(const std::string& host);
// The IPv4 address (network byte order) of a dotted-decimal text, else of the
// network interface of that name, else of the host of that name; INADDR_NONE
// (all bits set) when it is none of these.
in_addr_t resolve_ip(const char* text);
