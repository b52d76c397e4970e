#pragma once

// The figures of the suite; each writes its rows (Report.h) and runs its anchors against the
// same server. Every wait is bounded; run-benchmarks.sh bounds each process as a whole.

#include "RedisTools.h"

namespace tul::bench {

// 1. XADD entries per second landing on the server while `members` subscribed members (interval
// 0) change continuously, and the plug-in's CPU per value; anchor: redis-benchmark -c 1 -P.
void publishingThroughput(const ServerAddress& server, int members);
// The same on a private Redis Cluster of three primaries, against redis-benchmark --cluster.
void clusterPublishingThroughput(int members);
// 2. CPU and allocations of one pass with 100,000 subscribed and 1 changing; anchor: the same
// pass with 1 subscribed. Then many signal releases against one.
void passCost(const ServerAddress& server);
// 3. onChange + afterChanges; anchor: the bare atomic operations of the path.
void changePath();
// 4. A host change until a peer blocked in XREAD has it; anchor: a PING round trip sampled
// between the changes (redis-benchmark's back-to-back PING beside it).
void changeToPeer(const ServerAddress& server);
// 5. "set" commands: a burst of 5,000 against the peer's XADDs alone, and single round trips
// against a PING of the same peer after each.
void setCommands(const ServerAddress& server);
// 6. Registration of `elements` elements with 8 attributes: throughput against redis-benchmark
// HSET (100,000), or peak memory added and time (1,000,000).
void registrationThroughput(const ServerAddress& server);
void registrationMemory(const ServerAddress& server, int elements);
// 7. Commands an idle service sends.
void idleCost(const ServerAddress& server, int windowSeconds);
// 8. Resident memory added per subscribed member.
void memoryPerMember(const ServerAddress& server);

}  // namespace tul::bench
