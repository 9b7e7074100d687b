#include "stream/line_breaks.h"

#include "stream/line_breaks_scan.h"

namespace {

using ScanFunction = std::size_t (*)(const char*, std::size_t, std::int64_t&);

// The fastest scan this processor runs, chosen once.
ScanFunction fastest_scan() {
#ifdef MOCSLICE_HAVE_POPCNT_SCAN
  if (popcnt_scan_usable()) return scan_line_breaks_popcnt;
#endif
#ifdef MOCSLICE_HAVE_SSE2
  return scan_with<breaks_sse2>;
#else
  return scan_with<breaks_portable>;
#endif
}

bool always_usable() {
  return true;
}

}  // namespace

const LineBreakScanner kLineBreakScanners[] = {
    {"portable", scan_with<breaks_portable>, always_usable},
#ifdef MOCSLICE_HAVE_SSE2
    {"sse2", scan_with<breaks_sse2>, always_usable},
#endif
#ifdef MOCSLICE_HAVE_POPCNT_SCAN
    {"sse2 with popcnt", scan_line_breaks_popcnt, popcnt_scan_usable},
#endif
};
const int kLineBreakScannerCount = sizeof kLineBreakScanners / sizeof kLineBreakScanners[0];

std::size_t scan_line_breaks(const char* data, std::size_t size, std::int64_t& wanted) {
  static const ScanFunction scan = fastest_scan();
  return scan(data, size, wanted);
}

std::int64_t count_line_breaks(const char* data, std::size_t size) {
  const std::int64_t kAll = INT64_MAX;
  std::int64_t wanted = kAll;
  scan_line_breaks(data, size, wanted);
  return kAll - wanted;
}
