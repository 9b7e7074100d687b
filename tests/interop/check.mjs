// Cuts real and awkward BVH files with mocslice and loads every cut in an independent BVH
// reader, three's BVHLoader, to prove that the reader accepts it and sees the frames asked
// for.
//
//   node check.mjs MOCSLICE CORPUS_FOLDER SAMPLES_FOLDER
//
// Every .bvh file of both folders (the corpus folder may be missing) is cut in several
// ranges. For each cut the tool must report the expected range, and the reader must load
// the output without an error or a warning, with as many frames as the tool reported, the
// input's frame time as written with six decimals, and, in its first and last frames, the
// channel values of the input's frame lines at the bounds of the range. The input is read
// here on its own terms: its lines are split, the MOTION line found, the frame lines taken
// as they stand. A cut with fewer frames than its count line states (none at all, or a
// count that promised more than followed) must be refused by the reader.
//
// Prints one line per file and range. Exits 0 when all pass, 1 when any fails, and 77
// (skipped) when three is not installed (run `npm ci` here first), unless the environment
// sets MOCSLICE_INTEROP_REQUIRED, which turns that into a failure.
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readdirSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { basename, join, resolve } from 'node:path';

const [tool, corpusFolder, samplesFolder] = process.argv.slice(2);
if (!samplesFolder) {
  console.log('usage: node check.mjs MOCSLICE CORPUS_FOLDER SAMPLES_FOLDER');
  process.exit(2);
}

let BVHLoader, Quaternion, Vector3;
try {
  ({ BVHLoader } = await import('three/examples/jsm/loaders/BVHLoader.js'));
  ({ Quaternion, Vector3 } = await import('three'));
} catch (error) {
  console.log(`three is not installed (${error.code || error.message}): run "npm ci" in ` +
              'tests/interop first');
  process.exit(process.env.MOCSLICE_INTEROP_REQUIRED ? 1 : 77);
}

const kWarning =
    "Warning: Incorrect value 'Frames' in input file, check number of copied frames.";

function words(line) {
  return line.trim().split(/\s+/);
}

// The joints that carry channels, in the order their values appear on a frame line.
function readJoints(hierarchyLines) {
  const tokens = words(hierarchyLines.join(' '));
  const joints = [];
  let current = null;
  for (let i = 0; i < tokens.length; i++) {
    const token = tokens[i].toUpperCase();
    if (token === 'ROOT' || token === 'JOINT') {
      current = { name: tokens[++i], offset: [0, 0, 0], channels: [] };
      joints.push(current);
    } else if (token === 'END') {
      current = { name: 'End Site', offset: [0, 0, 0], channels: [] };
      i++;
    } else if (token === 'OFFSET') {
      current.offset = tokens.slice(i + 1, i + 4).map(parseFloat);
      i += 3;
    } else if (token === 'CHANNELS') {
      const count = parseInt(tokens[i + 1]);
      current.channels = tokens.slice(i + 2, i + 2 + count);
      i += 1 + count;
    }
  }
  return joints;
}

function readInput(path) {
  const text = readFileSync(path, 'latin1');
  const lines = text.split('\n').map((line) => line.replace(/\r$/, ''));
  if (text.endsWith('\n')) lines.pop();
  const motion = lines.findIndex((line) => line.startsWith('MOTION'));
  if (motion < 0 || motion + 2 >= lines.length) return null;
  let first = motion + 3;
  while (first < lines.length && lines[first].trim() === '') first++;
  return {
    joints: readJoints(lines.slice(0, motion)),
    count: parseInt(words(lines[motion + 1])[1]),
    frameTime: words(lines[motion + 2])[2],
    frames: lines.slice(first),
  };
}

// A double written with six decimals, rounded half to even on its exact binary value, as
// C's "%f" writes it.
function sixDecimals(value) {
  const view = new DataView(new ArrayBuffer(8));
  view.setFloat64(0, Math.abs(value));
  const bits = view.getBigUint64(0);
  const exponent = Number(bits >> 52n);
  let mantissa = bits & ((1n << 52n) - 1n);
  let power = -1074;
  if (exponent > 0) {
    mantissa |= 1n << 52n;
    power = exponent - 1075;
  }
  let numerator = mantissa * 1000000n;
  let denominator = 1n;
  if (power >= 0) numerator <<= BigInt(power);
  else denominator <<= BigInt(-power);
  let scaled = numerator / denominator;
  const twiceRest = 2n * (numerator % denominator);
  if (twiceRest > denominator || (twiceRest === denominator && (scaled & 1n))) scaled++;
  const digits = scaled.toString().padStart(7, '0');
  return `${value < 0 ? '-' : ''}${digits.slice(0, -6)}.${digits.slice(-6)}`;
}

// Each joint's position (its offset plus its position channels) and rotation (its rotation
// channels applied in their order), the way an animation clip holds a pose.
function pose(joints, frameLine) {
  const values = words(frameLine).map(parseFloat);
  const axes = { X: new Vector3(1, 0, 0), Y: new Vector3(0, 1, 0), Z: new Vector3(0, 0, 1) };
  let next = 0;
  return joints.map((joint) => {
    const position = [0, 0, 0];
    const rotation = new Quaternion();
    for (const channel of joint.channels) {
      const value = values[next++];
      const axis = channel[0];
      if (channel.endsWith('position')) {
        position['XYZ'.indexOf(axis)] = value;
      } else {
        rotation.multiply(new Quaternion().setFromAxisAngle(axes[axis], value * Math.PI / 180));
      }
    }
    return {
      position: position.map((p, k) => p + joint.offset[k]),
      rotation: [rotation.x, rotation.y, rotation.z, rotation.w],
    };
  });
}

// Loads `text` with BVHLoader; any error or warning it logs counts as a complaint.
function load(text) {
  const complaints = [];
  const saved = { warn: console.warn, error: console.error };
  console.warn = console.error = (...args) => complaints.push(args.join(' '));
  try {
    return { result: new BVHLoader().parse(text), complaints };
  } catch (error) {
    complaints.push(String(error.message || error));
    return { result: null, complaints };
  } finally {
    Object.assign(console, saved);
  }
}

// The ranges cut from a file that declares `count` frames of `frameTime` seconds, with the
// frames the arguments name, worked out from the tool's documented rules.
function rangesFor(count, frameTime) {
  const third = Math.floor(count / 3);
  const twoThirds = Math.floor((2 * count) / 3);
  const middle = Math.floor(count / 2);
  const percent = (p) => Math.floor((count - 1) * p + 0.5);  // exact for quarters
  const ranges = [
    { label: 'whole', args: [], first: 0, last: count - 1 },
    { label: `frames ${third}..${twoThirds}`, args: ['-s', `${third}`, '-e', `${twoThirds}`],
      first: third, last: twoThirds },
    { label: 'percent 25%..75%', args: ['-s', '25%', '-e', '75%'], first: percent(0.25),
      last: percent(0.75) },
  ];
  const time = Math.fround(parseFloat(frameTime));
  if (time > 0) {
    // A quarter of a frame inside the range, far from any rounding edge.
    const start = `${((third + 0.25) * time).toPrecision(9)}s`;
    const end = `${((twoThirds - 0.25) * time).toPrecision(9)}s`;
    ranges.push({ label: `seconds ${start}..${end}`, args: ['-s', start, '-e', end],
                  first: third, last: twoThirds });
  }
  ranges.push(
      { label: `single frame ${middle}`, args: ['-s', `${middle}`, '-e', `${middle}`],
        first: middle, last: middle },
      { label: 'last frame, from 100%', args: ['-s', '100%'], first: percent(1),
        last: count - 1 },
      { label: 'empty, end before start', args: ['-s', `${middle}`, '-e', `${middle - 1}`],
        first: middle, last: middle - 1 });
  for (const range of ranges) {
    range.first = Math.max(range.first, 0);
    range.last = Math.min(range.last, count - 1);
    if (range.last < range.first) range.last = range.first - 1;
  }
  return ranges;
}

// Checks one cut; returns what was seen, or throws an Error saying what is wrong.
function checkCut(input, inputPath, range, outputPath) {
  const run = spawnSync(tool, [inputPath, ...range.args, '-o', outputPath], { encoding: 'latin1' });
  if (run.error) throw new Error(`cannot run ${tool}: ${run.error.message}`);
  const size = range.last - range.first + 1;
  const copied = Math.max(0, Math.min(range.last, input.frames.length - 1) - range.first + 1);
  const expected = `${copied === size ? 'OK' : kWarning}\nMotion with ${copied} frames ` +
      `(${range.first}..${range.first + copied - 1}) from ${inputPath} copied to ${outputPath}\n`;
  if (run.status !== 0 || run.stdout !== expected) {
    throw new Error(`mocslice said ${JSON.stringify(run.stdout)} (status ${run.status}), ` +
                    `expected ${JSON.stringify(expected)}`);
  }

  const { result, complaints } = load(readFileSync(outputPath, 'latin1'));
  if (copied < size || copied === 0) {
    if (complaints.length === 0) {
      throw new Error(`the reader accepted a file whose count line says ${size} frames ` +
                      `while ${copied} follow`);
    }
    const verdict = copied === 0 ? '0 frames reported' : `warning, ${copied} of ${size} frames`;
    return `${verdict}; the reader refuses it as expected (${complaints[0]})`;
  }
  if (complaints.length > 0) throw new Error(`the reader complained: ${complaints.join('; ')}`);

  const tracks = result.clip.tracks;
  if (tracks.length !== 2 * input.joints.length) {
    throw new Error(`${tracks.length} tracks for ${input.joints.length} joints`);
  }
  for (const track of tracks) {
    if (track.times.length !== copied) {
      throw new Error(`track ${track.name} has ${track.times.length} frames, not ${copied}`);
    }
  }
  const frameTime = sixDecimals(Math.fround(parseFloat(input.frameTime)));
  const step = parseFloat(frameTime);
  const times = tracks[0].times;
  if (copied > 1 && (times[1] !== Math.fround(step) ||
                     times[copied - 1] !== Math.fround((copied - 1) * step))) {
    throw new Error(`frame times ${times[1]}, ${times[copied - 1]} do not step by ${frameTime}`);
  }
  for (const [at, frame] of [[0, range.first], [copied - 1, range.last]]) {
    const joints = pose(input.joints, input.frames[frame]);
    joints.forEach((joint, j) => {
      const [positions, rotations] = [tracks[2 * j], tracks[2 * j + 1]];
      const name = input.joints[j].name;
      if (positions.name !== `${name}.position` || rotations.name !== `${name}.quaternion`) {
        throw new Error(`tracks ${positions.name}, ${rotations.name} where ${name} was expected`);
      }
      const seen = [...positions.values.slice(3 * at, 3 * at + 3),
                    ...rotations.values.slice(4 * at, 4 * at + 4)];
      const wanted = [...joint.position, ...joint.rotation].map(Math.fround);
      if (seen.some((value, k) => value !== wanted[k])) {
        throw new Error(`clip frame ${at}, joint ${name}: [${seen}] is not input frame ` +
                        `${frame}: [${wanted}]`);
      }
    });
  }
  const timing = copied > 1 ? `at ${frameTime} s` : '(one frame: no frame time to see)';
  return `${copied} frame${copied > 1 ? 's' : ''} (${range.first}..${range.last}) ${timing}, ` +
         `first and last match the input`;
}

const files = [];
if (existsSync(corpusFolder)) {
  for (const name of readdirSync(corpusFolder).sort()) {
    if (name.endsWith('.bvh')) files.push(join(corpusFolder, name));
  }
} else {
  console.log(`corpus folder ${corpusFolder} not found: testing only the project's samples`);
}
for (const name of readdirSync(samplesFolder).sort()) {
  if (name.endsWith('.bvh')) files.push(join(samplesFolder, name));
}

const scratch = mkdtempSync(join(tmpdir(), 'mocslice-interop-'));
let checks = 0;
let failures = 0;
try {
  for (const path of files.map((file) => resolve(file))) {
    const input = readInput(path);
    if (input === null) {
      console.log(`FAIL ${basename(path)}: no MOTION section with its two lines`);
      failures++;
      continue;
    }
    for (const range of rangesFor(input.count, input.frameTime)) {
      checks++;
      const outputPath = join(scratch, `cut${checks}.bvh`);
      try {
        const seen = checkCut(input, path, range, outputPath);
        console.log(`ok   ${basename(path)}  ${range.label}: ${seen}`);
      } catch (error) {
        console.log(`FAIL ${basename(path)}  ${range.label}: ${error.message}`);
        failures++;
      }
      rmSync(outputPath, { force: true });
    }
  }
} finally {
  rmSync(scratch, { recursive: true, force: true });
}
console.log(`${files.length} files, ${checks} cuts, ${failures} failed`);
process.exit(failures === 0 && files.length > 0 ? 0 : 1);
