// mocslice: cuts a range of frames out of a BVH motion file.
#include "cli/options.h"
#include "motion/extract.h"

int main(int argc, char** argv) {
  ExtractJob job = default_job();
  if (argc <= 1) {
    print_usage();
    return 0;
  }
  if (!parse_options(argc, argv, job)) return -1;
  return extract_motion(job);
}
