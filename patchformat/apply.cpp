#include "apply.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "md5.h"

// Declared for the tests only, in tests/md5_seam.h: below a MiB a thread gains nothing.
int32_t apply_thread_from = 1 << 20;

namespace {

constexpr int32_t PIECE = 1 << 20;  // bytes hashed between two reports of progress
constexpr int BATCH = 64;           // value lines read at a time

// Both fingerprints of the data: the input's ahead of the applier, which changes no byte
// until it is hashed, and the result's behind it, over the bytes it is done with. On a
// second thread the hashing overlaps the reading of the script; without one, the input is
// hashed whole before the blocks and the result after them, one step after the other.
struct hasher {
  const unsigned char* data;
  int32_t length;
  md5_pieces in, out;
  char in_md5[33] = "", out_md5[33] = "";
  std::atomic<int32_t> hashed{0};   // input bytes hashed: the applier may change those below
  std::atomic<int32_t> settled{0};  // bytes the applier will not change again
  std::atomic<int> in_state{0};     // 0 hashing, 1 in_md5 ready, 2 refused
  std::atomic<int> out_state{0};    // the same for out_md5
  std::atomic<bool> quit{false};    // the result's fingerprint is not needed
  int32_t out_done = 0;             // result bytes hashed, by the hashing thread only
  bool threaded = false;            // set before the thread starts, so it may read it
  std::thread thread;
  // Either side that waits sleeps here, and either side wakes the other after a change
  // it may wait for: a piece hashed, a fingerprint ready, a piece settled, the end.
  std::mutex lock;
  std::condition_variable changed;

  // The change is made before the lock is taken, so a waiter either sees it when it
  // tests, or is asleep already and is woken.
  void wake() {
    { std::lock_guard<std::mutex> held(lock); }
    changed.notify_all();
  }

  template <typename F>
  void wait_for(F ready) {
    if (ready()) return;
    std::unique_lock<std::mutex> held(lock);
    changed.wait(held, ready);
  }

  hasher(const unsigned char* d, int32_t n) : data(d), length(n) {}
  ~hasher() { finish(); }

  void finish() {
    if (!thread.joinable()) return;
    quit.store(true, std::memory_order_relaxed);
    wake();
    thread.join();
  }

  void hash_input(int32_t upto) {
    int32_t from = hashed.load(std::memory_order_relaxed);
    in.add(data + from, upto - from);
    hashed.store(upto, std::memory_order_release);
    if (upto == length) in_state.store(in.end(in_md5) ? 1 : 2, std::memory_order_release);
    if (threaded) wake();
  }

  void hash_output(int32_t upto) {
    if (upto > out_done) out.add(data + out_done, upto - out_done);
    out_done = upto;
    if (upto == length) out_state.store(out.end(out_md5) ? 1 : 2, std::memory_order_release);
    if (upto == length && threaded) wake();
  }

  // The second thread: the input a piece at a time, each followed by what the applier
  // has settled since, then the rest of the result as the applier settles it.
  void run() {
    for (int32_t at = 0; at < length;) {
      at += length - at < PIECE ? length - at : PIECE;
      hash_input(at);
      hash_output(settled.load(std::memory_order_acquire));
    }
    while (out_done < length) {
      // The next whole piece, which the applier tells of when it settles past it.
      int32_t next = length - out_done > PIECE ? (out_done / PIECE + 1) * PIECE : length;
      int32_t upto = 0;
      wait_for([&] {
        upto = settled.load(std::memory_order_acquire);
        return upto >= next || quit.load(std::memory_order_relaxed);
      });
      if (quit.load(std::memory_order_relaxed)) return;
      hash_output(upto);
    }
  }

  // Starts hashing: on a second thread for a large input, else the input whole here. A
  // script whose rest is already read and small against the input (a few changes to a
  // large file) leaves the thread nothing to overlap but its own start.
  bool start(int64_t script_rest) {
    if (!in.begin() || !out.begin()) return false;
    if (length >= apply_thread_from && (script_rest < 0 || script_rest >= length / 16)) {
      try {
        threaded = true;
        thread = std::thread([this] { run(); });
        return true;
      } catch (const std::system_error&) {
        // No second thread to be had: the same work, one step after the other.
        threaded = false;
      }
    }
    hash_input(length);
    return true;
  }

  // The input's fingerprint, once it is known: 1 ready, 2 refused.
  int input_md5() {
    wait_for([&] { return in_state.load(std::memory_order_acquire) != 0; });
    return in_state.load(std::memory_order_relaxed);
  }

  // The result's fingerprint, with every byte settled: 1 ready, 2 refused.
  int output_md5() {
    settle(length);
    if (!threaded) hash_output(length);
    wait_for([&] { return out_state.load(std::memory_order_acquire) != 0; });
    return out_state.load(std::memory_order_relaxed);
  }

  // The bytes below upto will not change again; the hasher hears of each piece passed.
  void settle(int32_t upto) {
    int32_t before = settled.load(std::memory_order_relaxed);
    settled.store(upto, std::memory_order_release);
    if (threaded && (upto / PIECE != before / PIECE || upto == length)) wake();
  }

  // Waits until the input is hashed below upto, so that those bytes may change.
  void reach(int32_t upto) {
    wait_for([&] { return hashed.load(std::memory_order_acquire) >= upto; });
  }
};

// Whether any value equals the byte it replaces; a full line's 16 in one step.
bool equal(const unsigned char* at, const script_values& v) {
  bool same = false;
  if (v.count == 16) {
    for (int k = 0; k < 16; ++k) same |= at[k] == v.bytes[k];
  } else {
    for (int k = 0; k < v.count; ++k) same |= at[k] == v.bytes[k];
  }
  return same;
}

// The values into place: a full line's and a single value without a call.
void copy(unsigned char* at, const script_values& v) {
  if (v.count == 16)
    std::memcpy(at, v.bytes, 16);
  else if (v.count == 1)
    at[0] = v.bytes[0];
  else
    std::memcpy(at, v.bytes, size_t(v.count));
}

}  // namespace

apply_fault apply_body(reader& r, const script_head& head, unsigned char* data, int32_t length,
                       script_tail& tail) {
  hasher h(data, length);
  if (!h.start(reader_rest(r))) return apply_fault::md5;
  r.length = length;
  const std::string old_md5 = head.old_md5;
  // Blocks are applied until the input turns out not to be the one the script was made
  // for; from then on the script is only read, for its faults and its output fingerprint.
  bool applying = true, known = false;
  script_values batch[BATCH];
  for (int n; (n = read_batch(r, batch, BATCH)) > 0;) {
    if (!known && h.in_state.load(std::memory_order_acquire) != 0) {
      known = true;
      applying = applying && h.in_state.load(std::memory_order_relaxed) == 1 && h.in_md5 == old_md5;
    }
    // The batch's bytes change only once the input is hashed past them.
    if (applying) h.reach(batch[n - 1].offset + batch[n - 1].count);
    for (int i = 0; applying && i < n; ++i) {
      const script_values& v = batch[i];
      unsigned char* at = data + v.offset;
      // Runs hold changed bytes only, and the input is the one the script was made for.
      if (equal(at, v)) {
        // A fault only if the input is the script's: else the script is read on.
        if (h.input_md5() == 1 && h.in_md5 == old_md5)
          return reader_fail_at(r, v.line, "value equals the byte it replaces"),
                 apply_fault::script;
        applying = false;
        break;
      }
      copy(at, v);
    }
    if (applying) h.settle(batch[n - 1].offset + batch[n - 1].count);
  }

  // The checks in the order the user sees them: the MD5 routines, the input's
  // fingerprint (or an input already patched), the script, and the result's fingerprint.
  if (h.input_md5() != 1) return apply_fault::md5;
  if (h.in_md5 != old_md5) {
    h.finish();
    bool patched = r.fault.empty() && read_tail(r, tail) && h.in_md5 == std::string(tail.new_md5);
    return patched ? apply_fault::already : apply_fault::input;
  }
  if (!r.fault.empty() || !read_tail(r, tail)) return apply_fault::script;
  if (h.output_md5() != 1) return apply_fault::md5;
  return h.out_md5 == std::string(tail.new_md5) ? apply_fault::none : apply_fault::output;
}
