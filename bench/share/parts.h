// The parts of the shared-scene benchmark, each printing its figures beside a named baseline
// measured in the same run. url: a broker the benchmark started, shared by the parts.
#pragma once

#include <string>

namespace sharebench {

// 1. Edit in site A's world to the mirror changed in site B's world (p50, p99 over 2,000 edits)
// against a bare key-value put reaching a watcher in another connection.
void latency(const std::string& url);
// 2. A late joiner catching up with nodes against a bare watcher's catch-up; with 10,000 nodes or
// more, also 7.: the bookkeeping bytes per mirror besides the node itself (aim: under 300).
void lateJoin(const std::string& url, int nodes);
// 3. Eight sites each dragging a node at 60 updates a second for 10 s: how long after the end the
// last update is applied everywhere.
void drag(const std::string& url);
// 4. The bytes on the wire for one matrix change.
void bytes();
// 5. A join beside one peer's 50,000 hostile records (a deep chain, a root flood, models that do
// not exist) while an honest site shares a model: time to a full sync (aim: under 5 s).
void hostileJoin(const std::string& url);
// 6. A crowd of count sites, each with its navigator and a placed model, ten of them dragging at
// 30 Hz for 10 s: p99 edit to mirror at one watching site against a bare put to a watcher under
// the same load (aim: within 3x); CPU and memory of an idle site.
void crowd(const std::string& url, int count);
// 8. A join beside 120 records that each name one real model 30,000 times, its material naming a
// 1,000-character texture: peak memory of the joining process against a join beside 120 records
// that name it once (aim: within 1.2x and under 1.5 GB). The joiners are this program run as
// `--join URL SCENE` (joinOnly).
void amplifiedJoin(const std::string& url);
int joinOnly(const std::string& url, const std::string& scene);
// 9. A site with 100,000 records at the root whose presence lapses and returns: the longest frame
// (pump) of a watching site against its median frame meanwhile (aim: under 50 ms).
void leaveAndReturn(const std::string& url);
// 10. Scenes one broker holds: joins of new scenes on brokers of its own (started with program),
// one configured as tools/broker.sh configures it (max_file_store 1 PB: limits are caps, not
// reservations) against one left at the server's default (which reserves each limit against three
// quarters of the free disk), at most 40 each.
void scenes(const std::string& program);
// 11. A chain of 200 nodes with 99,800 leaves below it, the chain moved 400 records a second: the
// longest pump of a watching site against its median pump before (aim: 16 ms).
void chainMove(const std::string& url);

} // namespace sharebench
