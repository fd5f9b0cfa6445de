#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quv {

// Total physical memory in bytes; 0 when the system does not tell.
uint64_t PhysicalMemorySize();

// The identifier of this process.
uint32_t ProcessId();
// The system's identifier of the calling thread.
int64_t ThreadId();

// Whether a process of that identifier runs (or has not been waited for);
// false for 0 and for identifiers beyond what the system gives out.
bool ProcessExists(uint32_t processId);

// The load address of the module that holds this code: distinguishes two runs
// of a program whose process identifier was reused (address-space layout is
// randomised per run).
uintptr_t ModuleInstanceHandle();

// The kernel's name ("Linux"); empty when the system does not tell.
std::string SystemName();

// Takes the character type of the user's locale (LC_ALL, LC_CTYPE, LANG)
// for this process, and tells whether its characters are UTF-8: what a
// terminal program writes there.
bool UserLocaleIsUtf8();

// This machine's host name and IPv4 addresses (dotted text); a query that
// fails adds nothing.
std::vector<std::string> HostNamesAndAddresses();

}  // namespace quv
