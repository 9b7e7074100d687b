// make_bvh: writes a deterministic, realistic BVH file: a humanoid skeleton, a smooth
// walking motion, numbers printed the way exporters print them. Used for the bundled
// sample and for benchmark inputs of any size.
//
//   make_bvh [--joints N] [--frames N | --size BYTES] [--fps F] [--decimals D]
//            [--six-channels] [--crlf] [-o FILE]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Settings {
  int joints = 21;
  long long frames = 300;
  long long size = 0;  // when set, frames are added until the file reaches this many bytes
  double fps = 30.0;
  int decimals = 6;
  bool six_channels = false;
  bool crlf = false;
  std::string output;  // empty: standard output
};

struct Joint {
  std::string name;
  int parent;        // -1 for the root
  double offset[3];  // from the parent
  double amplitude;  // degrees of swing
  double phase;      // radians
};

// The 21-joint humanoid, then extra three-joint chains (fingers, face, cloth) until
// `count` joints are there.
std::vector<Joint> make_skeleton(int count) {
  std::vector<Joint> joints = {
      {"Hips", -1, {0, 0, 0}, 4, 0},
      {"Spine", 0, {0, 10.5, -0.6}, 5, 0.4},
      {"Spine1", 1, {0, 11.2, 0.3}, 4, 0.6},
      {"Neck", 2, {0, 14.7, 1.1}, 6, 0.9},
      {"Head", 3, {0, 8.6, 0.9}, 7, 1.2},
      {"LeftShoulder", 2, {3.1, 11.9, 0.4}, 8, 3.1},
      {"LeftArm", 5, {12.4, 0, 0}, 30, 3.1},
      {"LeftForeArm", 6, {26.1, 0, 0}, 25, 3.6},
      {"LeftHand", 7, {24.3, 0, 0}, 12, 3.9},
      {"RightShoulder", 2, {-3.1, 11.9, 0.4}, 8, 0},
      {"RightArm", 9, {-12.4, 0, 0}, 30, 0},
      {"RightForeArm", 10, {-26.1, 0, 0}, 25, 0.5},
      {"RightHand", 11, {-24.3, 0, 0}, 12, 0.8},
      {"LeftUpLeg", 0, {8.9, -4.2, 0.2}, 35, 0},
      {"LeftLeg", 13, {0, -42.1, 0.3}, 40, 0.7},
      {"LeftFoot", 14, {0, -40.6, -1.9}, 20, 1.3},
      {"LeftToeBase", 15, {0, -5.2, 12.8}, 15, 1.7},
      {"RightUpLeg", 0, {-8.9, -4.2, 0.2}, 35, 3.1},
      {"RightLeg", 17, {0, -42.1, 0.3}, 40, 3.8},
      {"RightFoot", 18, {0, -40.6, -1.9}, 20, 4.4},
      {"RightToeBase", 19, {0, -5.2, 12.8}, 15, 4.8},
  };
  if (count < static_cast<int>(joints.size())) joints.resize(count < 1 ? 1 : count);
  const int anchors[] = {8, 12, 4, 2};  // hands, head, chest
  for (int chain = 0; static_cast<int>(joints.size()) < count; ++chain) {
    int parent = anchors[chain % 4];
    for (int link = 0; link < 3 && static_cast<int>(joints.size()) < count; ++link) {
      double side = joints[parent].offset[0] < 0 ? -1 : 1;
      joints.push_back({"Extra" + std::to_string(chain) + "_" + std::to_string(link),
                        parent,
                        {side * (2.0 + link), 0.4 * (chain % 5), 0.3 * link},
                        10.0 + chain % 7,
                        0.3 * chain + 0.5 * link});
      parent = static_cast<int>(joints.size()) - 1;
    }
  }
  return joints;
}

struct Writer {
  std::FILE* file;
  std::string buffer;
  const char* eol;
  long long written = 0;
};

void flush(Writer& w) {
  std::fwrite(w.buffer.data(), 1, w.buffer.size(), w.file);
  w.written += static_cast<long long>(w.buffer.size());
  w.buffer.clear();
}

void line(Writer& w, int depth, const std::string& text) {
  w.buffer.append(static_cast<std::size_t>(depth), '\t');
  w.buffer += text;
  w.buffer += w.eol;
}

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Writes `value` with `decimals` places, fast: the frame lines are most of a big file.
void append_number(std::string& out, double value, int decimals) {
  static const double kScale[] = {1, 10, 100, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
  long long scaled = std::llround(value * kScale[decimals]);
  if (scaled < 0) {
    out += '-';
    scaled = -scaled;
  }
  char digits[32];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + scaled % 10);
    scaled /= 10;
  } while (scaled > 0 || n <= decimals);
  while (n > 0) {
    out += digits[--n];
    if (n == decimals && decimals > 0) out += '.';
  }
}

void write_joint(Writer& w, const std::vector<Joint>& joints, int index, int depth,
                 bool six_channels) {
  const Joint& j = joints[static_cast<std::size_t>(index)];
  bool root = j.parent < 0;
  line(w, depth, (root ? "ROOT " : "JOINT ") + j.name);
  line(w, depth, "{");
  line(w, depth + 1,
       "OFFSET " + fixed(j.offset[0], 6) + " " + fixed(j.offset[1], 6) + " " +
           fixed(j.offset[2], 6));
  line(w, depth + 1,
       root || six_channels
           ? "CHANNELS 6 Xposition Yposition Zposition Zrotation Xrotation Yrotation"
           : "CHANNELS 3 Zrotation Xrotation Yrotation");
  bool leaf = true;
  for (std::size_t k = 0; k < joints.size(); ++k) {
    if (joints[k].parent == index) {
      leaf = false;
      write_joint(w, joints, static_cast<int>(k), depth + 1, six_channels);
    }
  }
  if (leaf) {
    line(w, depth + 1, "End Site");
    line(w, depth + 1, "{");
    line(w, depth + 2, "OFFSET 0.000000 3.000000 0.000000");
    line(w, depth + 1, "}");
  }
  line(w, depth, "}");
}

// One frame of a walk cycle of about a second: the root moves forward and bobs, every
// joint swings on its own phase, with a slower sway on top.
void append_frame(std::string& out, const std::vector<Joint>& joints, long long frame,
                  const Settings& s) {
  const double kTwoPi = 6.283185307179586;
  double t = static_cast<double>(frame) / s.fps;
  double cycle = kTwoPi * t / 1.1;
  for (std::size_t k = 0; k < joints.size(); ++k) {
    const Joint& j = joints[k];
    if (j.parent < 0 || s.six_channels) {
      double position[3] = {2.0 * std::sin(cycle * 0.5) + j.offset[0],
                            j.parent < 0 ? 92.0 + 1.8 * std::sin(2 * cycle) : j.offset[1],
                            j.parent < 0 ? 120.0 * t : j.offset[2]};
      for (double p : position) {
        append_number(out, p, s.decimals);
        out += ' ';
      }
    }
    double swing = j.amplitude * std::sin(cycle + j.phase);
    double sway = 0.25 * j.amplitude * std::sin(0.37 * cycle + 2 * j.phase);
    double twist = 0.1 * j.amplitude * std::cos(cycle + j.phase);
    append_number(out, sway, s.decimals);
    out += ' ';
    append_number(out, swing, s.decimals);
    out += ' ';
    append_number(out, twist, s.decimals);
    out += k + 1 < joints.size() ? " " : "";
  }
  out += s.crlf ? "\r\n" : "\n";
}

bool parse(int argc, char** argv, Settings& s) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--joints" && has_value) {
      s.joints = std::atoi(argv[++i]);
    } else if (a == "--frames" && has_value) {
      s.frames = std::atoll(argv[++i]);
    } else if (a == "--size" && has_value) {
      s.size = std::atoll(argv[++i]);
    } else if (a == "--fps" && has_value) {
      s.fps = std::atof(argv[++i]);
    } else if (a == "--decimals" && has_value) {
      s.decimals = std::atoi(argv[++i]);
    } else if (a == "--six-channels") {
      s.six_channels = true;
    } else if (a == "--crlf") {
      s.crlf = true;
    } else if (a == "-o" && has_value) {
      s.output = argv[++i];
    } else {
      return false;
    }
  }
  return s.joints >= 1 && s.frames >= 0 && s.fps > 0 && s.decimals >= 0 && s.decimals <= 8;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  if (!parse(argc, argv, s)) {
    std::fprintf(stderr,
                 "usage: make_bvh [--joints N] [--frames N | --size BYTES] [--fps F]\n"
                 "                [--decimals D] [--six-channels] [--crlf] [-o FILE]\n");
    return 2;
  }
  std::vector<Joint> joints = make_skeleton(s.joints);

  // With a target size the count is only known at the end; the count line is padded so it
  // can be written first and still come out right.
  Writer w{s.output.empty() ? stdout : std::fopen(s.output.c_str(), "wb"), "",
           s.crlf ? "\r\n" : "\n"};
  if (w.file == nullptr) {
    std::perror(s.output.c_str());
    return 1;
  }
  std::string sample;
  append_frame(sample, joints, 0, s);
  long long frames = s.frames;
  line(w, 0, "HIERARCHY");
  write_joint(w, joints, 0, 0, s.six_channels);
  line(w, 0, "MOTION");
  if (s.size > 0) {
    long long head = static_cast<long long>(w.buffer.size()) + 40;
    frames = (s.size - head) / static_cast<long long>(sample.size());
    if (frames < 1) frames = 1;
  }
  line(w, 0, "Frames: " + std::to_string(frames));
  line(w, 0, "Frame Time: " + fixed(1.0 / s.fps, 7));
  for (long long f = 0; f < frames; ++f) {
    append_frame(w.buffer, joints, f, s);
    if (w.buffer.size() >= (1u << 20)) flush(w);
  }
  flush(w);
  bool ok = std::fflush(w.file) == 0 && !std::ferror(w.file);
  if (w.file != stdout) ok = std::fclose(w.file) == 0 && ok;
  return ok ? 0 : 1;
}
