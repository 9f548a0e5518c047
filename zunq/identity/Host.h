// This host's names and address resolution, as the process entry point uses
// them for configuration bases and the line handlers for interface
// parameters. Plain functions, safe from any thread.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <string>
#include <vector>

// The host's name as the system reports it (it may hold dots).
std::string fullhostname();
// The host's short name: the full name up to its first dot.
std::string hostname();
// The fully qualified name: the canonical name the resolver gives for the
// host's name; the full name when the resolver knows no better.
std::string fqdn();
// The NIS client the netgroup look-up asks.
struct NisClient
{
    // The NIS domain of this host; empty when it has none.
    std::function<std::string()> domain;
    // The value of key in the map of the domain; false when there is none.
    std::function<bool(const std::string& domain, const std::string& map, const std::string& key,
                       std::string& value)>
        match;

    // The system's client, looked up at run time; without one, no domain.
    static const NisClient& system();
};

// The netgroups the host belongs to, in the order the system's netgroup
// look-up knows them: first those of the netgroup file (one group a line,
// "name member...", a member being a triple "(host,user,domain)" or the name
// of a group it includes, a line ending in a backslash going on below) whose
// triples name the host (case aside) or leave it empty, themselves or through
// the groups they include, in the order the file defines them; then those
// that NIS's netgroup.byhost map gives the host, where the system has NIS.
// Each group once; a file that is missing or unreadable gives none.
std::vector<std::string> nisnetgroup(const std::string& host);
std::vector<std::string> nisnetgroup(const std::string& host, const std::string& netgroupFile,
                                     const NisClient& nis);
// The IPv4 address (network byte order) of a dotted-decimal text, else of the
// network interface of that name, else of the host of that name; INADDR_NONE
// (all bits set) when it is none of these.
in_addr_t resolve_ip(const char* text);
