// Runs body(i) for i in 0..n-1, each on a thread of its own, all at once, and waits for
// them all.
#pragma once

#include <cstddef>
#include <thread>
#include <vector>

template <typename F>
void on_threads(size_t n, F body) {
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (size_t i = 0; i < n; ++i) threads.emplace_back(body, i);
  for (std::thread& t : threads) t.join();
}
