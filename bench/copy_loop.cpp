// copy_loop: the least a cut can cost on one core, for the benchmark to measure as a bound:
// the input read and written through one block at a time (256 KiB unless given in KiB, at
// most 2 MiB), as mocslice reads and writes it, with no scan at all. The first write is one
// byte short, so that the later writes land at the same unaligned file offsets as a whole
// cut's (whose "Frame Time" line is written back one digit shorter).
//
//   copy_loop IN OUT [BLOCK_KIB]
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

const long kMostKib = 2048;
char memory[kMostKib << 10];

bool write_all(int fd, const char* data, ssize_t size) {
  while (size > 0) {
    ssize_t done = ::write(fd, data, static_cast<size_t>(size));
    if (done < 0) return false;
    data += done;
    size -= done;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) return 2;
  long kib = argc == 4 ? std::atol(argv[3]) : 256;
  if (kib < 1 || kib > kMostKib) return 2;
  size_t block = static_cast<size_t>(kib) << 10;
  int in = ::open(argv[1], O_RDONLY);
  int out = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) return 1;
  bool first = true;
  for (;;) {
    ssize_t got = ::read(in, memory, block);
    if (got < 0) return 1;
    if (got == 0) break;
    ssize_t skip = first && got > 1 ? 1 : 0;
    first = false;
    if (!write_all(out, memory + skip, got - skip)) return 1;
  }
  return ::close(out) == 0 ? 0 : 1;
}
