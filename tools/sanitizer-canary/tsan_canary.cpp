// A data race ThreadSanitizer cannot miss, for tools/sanitize.sh to prove
// that reports from the instrumented interpreter reach the stage's report
// files under the stage's own options and suppressions. Two native threads
// write one plain global with nothing between them that orders the writes:
// no lock, no atomic, no call into the interpreter (whose locks would give
// the writes an order, and the race away, depending on scheduling). The
// threads are made and joined inside one call, so the race is the same on
// every run, whatever runs first.
#include <thread>

namespace {
int canary_value = 0;

void write_canary() {
  for (int i = 0; i < 1000; ++i) {
    canary_value = canary_value + 1;
  }
}
}  // namespace

extern "C" int tsan_canary_race() {
  std::thread first(write_canary);
  std::thread second(write_canary);
  first.join();
  second.join();
  return canary_value;
}
