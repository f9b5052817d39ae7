// What an engine costs when it carries no traffic, next to ENet's own
// needs, each measured on one party alone in a child process
// (child_process.h):
//
//  - idle: the root of a star of 32 (31 links; the other members in this
//    process) over a few seconds without traffic: its CPU time and its
//    wake-ups per second. A wake-up is a voluntary context switch of the
//    child: each time its service thread went to sleep and was woken
//    again (its main thread sleeps in a read for the whole window). Raw
//    column: a raw ENet host with 31 connected peers that sleeps until its
//    socket has data or ENet's own next timer is due (a resend, a timeout
//    check, a keep-alive ping): what ENet's keep-alive needs.
//  - memory: the resident memory a root engine adds to its process, with
//    its links up and its frame store filled once (every page of it
//    touched): a room of 32 (31 links) with a store of 4096 packets. Bytes
//    per link from a room of 8 beside it, bytes per store slot from a
//    store of 1024 beside it, both counted on the heap (bytes in use), the
//    resident figures in the notes. Raw column: a raw ENet host with as
//    many connected peers (no store).
//
// Application thread only.

#ifndef TESSEL_BENCH_ENGINE_COST_H_
#define TESSEL_BENCH_ENGINE_COST_H_

#include <string>
#include <vector>

#include "bench/bench_report.h"

namespace tessel_bench {

// rounds windows of seconds each, raw and tessel alternating. false when
// a setup failed (the figures then say so in their notes).
bool measureIdle(int rounds, double seconds, std::vector<Figure>& figures);
bool measureMemory(std::vector<Figure>& figures);

// The child processes' side: argv as this program received it, starting
// with "--idle" or "--memory". The process's exit code.
int idleChild(int argc, char** argv);
int memoryChild(int argc, char** argv);

}  // namespace tessel_bench

#endif  // TESSEL_BENCH_ENGINE_COST_H_
