// C read-out interface of the stand-in fwpuclnt.dll, exported next to the fifteen Fwpm*0
// functions the kill switch imports. Behind all of them sits one process-wide filtering platform
// model (wfp_model.h) under one lock, so these may be called from any thread, for instance a
// control thread of the stand-in engine that answers a test outside the process.
//
// Only C types cross; the caller owns every buffer. The text functions write at most
// `capacity - 1` bytes and a NUL (nothing when `text` is null or `capacity` is 0) and return the
// length the whole text needs, without the NUL: call once with a null buffer to size it.
//
// Using it: put fwpuclnt.dll into the Wine prefix's system folder, where the kill switch loads it
// from (scripts/wine-exec.sh does so for every prefix of the build tree), and run with
// WINEDLLOVERRIDES=fwpuclnt=n, or Wine loads its own (whose FwpmEngineOpen0 fails with 1764). A program imports these functions
// through GetProcAddress(GetModuleHandleW(L"fwpuclnt.dll"), "StandinWfpDescribe"); if that finds
// nothing, the loader took another fwpuclnt.dll. ConvertInterfaceAliasToLuid is not ours: it
// stays Wine's iphlpapi.dll, which knows the machine's real interfaces.
//
// Environment: ORVANE_STANDIN_WFP_JOURNAL=path appends one line per Fwpm*0 call to that file,
// written as the call returns, so it survives the process (the model does not). The variable is
// looked up at every call, so a program may also set it while it runs. Lines:
//   "<pid> <function> <status> filters=<n>"   e.g. "412 FwpmFilterAdd0 0x00000000 filters=3"
//   status is 0x%08X; FwpmFreeMemory0 has none and shows "-"; n counts every filter in the model
//   after the call. When the DLL is unloaded, normally as the process ends, what is left:
//   "<pid> exit filters=<n> sessions=<m>".
#ifndef ORVANE_STANDINS_WFP_WFP_STANDIN_CONTROL_H_
#define ORVANE_STANDINS_WFP_WFP_STANDIN_CONTROL_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Everything the model holds, one object per line, each line ending in "\n":
//   "sessions <open sessions> transaction <open|none>"
//   "provider {KEY} \"<name>\""                             one per provider
//   "sublayer {KEY} \"<name>\" weight <w>"                  one per sublayer
//   "filter <id> <v4|v6> <permit|block> weight <w> \"<name>\"[ if <condition>[ and
//   <condition>]...]"
//                                                           one per filter, in the order added
// KEY is upper-case hex, "{A7B8C9D0-E1F2-4A5B-8C7D-0E1F2A3B4C5D}". Names are UTF-8, with '"' and
// '\' escaped by a '\'. A filter weight is the FWP_UINT8 number, "u64:<n>" or "auto" (none).
// A condition is "<field> <match> <value>":
//   field:  remote-address, remote-port, local-port, protocol, flags, local-interface
//   match:  ==, !=, >, <, >=, <=, all-set, any-set, none-set
//   value:  decimal for ports, protocol and the interface LUID (NET_LUID.Value); 0x%08x for
//           flags; a.b.c.d or a.b.c.d/prefix for IPv4; eight hex groups (no "::"), with an
//           optional /prefix, for IPv6.
// Example: "filter 70003 v4 permit weight 10 \"OrvaneVPN Permit DHCP\" if protocol == 17 and
// local-port == 68" (one line).
size_t StandinWfpDescribe(char* text, size_t capacity);

// How the filters in place now decide one outbound connection attempt, given as words separated
// by blanks:
//   "<v4|v6> <protocol> <address>[:<port>] [local-port=<n>] [loopback] [luid=<n>]"
//   protocol: tcp, udp, icmp, icmpv6 or a number 0-255
//   address:  a.b.c.d for v4; [IPv6 text] for v6, brackets required ("[2001:db8::1]:53")
//   loopback: the attempt carries FWP_CONDITION_FLAG_IS_LOOPBACK, as the platform marks loopback
//             traffic (the address alone does not set it)
//   luid:     NET_LUID.Value of the interface it leaves through, decimal or 0x hex; default 0
// e.g. "v4 tcp 1.2.3.4:443", "v4 udp 255.255.255.255:67 local-port=68", "v4 tcp 127.0.0.1:80
// loopback". The answer, without a line end:
//   "permit <name of the deciding filter>", "block <name ...>", "permit (no filter)" when no
//   filter matches, or "error: <what is wrong>" for text it cannot read (null included).
size_t StandinWfpClassify(const char* connection, char* text, size_t capacity);

// Forgets every session, object, transaction and enumeration, as a fresh process would start.
// Handles given out before become invalid; memory from FwpmFilterEnum0 not yet released is freed,
// so nobody may still be reading it.
void StandinWfpReset(void);

#ifdef __cplusplus
}
#endif

#endif  // ORVANE_STANDINS_WFP_WFP_STANDIN_CONTROL_H_
