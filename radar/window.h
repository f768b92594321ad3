#pragma once

namespace kestrel {

// The distance window; both bounds are exclusive and compared on the exact
// double. The two tests are made separately: with a NaN bound neither holds.
struct Window {
  double low;
  double high;

  bool holds(double dist) const { return dist > low && dist < high; }
  bool excludes(double dist) const { return dist <= low || dist >= high; }
};

}  // namespace kestrel
