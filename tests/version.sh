#!/usr/bin/env bash
# The version agrees everywhere a reader meets it: the project's version in CMake (given
# here), the usage screen's credit line, the top release of CHANGELOG.md, and the manual
# page's header (version, and the month and year of that release). The Debian package's
# version is checked where the package is built, in .ci/run.
#
#   tests/version.sh VERSION MOCSLICE SOURCE_FOLDER
set -euo pipefail
version=$1
tool=$2
source=$3

fail() {
  echo "FAIL: $*"
  exit 1
}

credit=$("$tool" | sed -n 3p)  # under a blank line and the title
[ "$credit" = "    mocslice $version, written by the mocslice developers; free to use and share." ] ||
  fail "the usage screen's credit line is \"$credit\", the project's version $version"

release=$(grep -m 1 '^## \[' "$source/CHANGELOG.md")
[[ $release =~ ^'## ['([^]]*)'] - '([0-9]{4})-([0-9]{2})-[0-9]{2}$ ]] ||
  fail "CHANGELOG.md's top entry is not \"## [x.y.z] - yyyy-mm-dd\": $release"
[ "${BASH_REMATCH[1]}" = "$version" ] ||
  fail "CHANGELOG.md's top release is ${BASH_REMATCH[1]}, the project's version $version"
months=(January February March April May June July August September October November December)
month="${months[10#${BASH_REMATCH[3]} - 1]} ${BASH_REMATCH[2]}"

header=$(grep -m 1 '^\.TH ' "$source/docs/mocslice.1")
[ "$header" = ".TH MOCSLICE 1 \"$month\" \"mocslice $version\" \"User Commands\"" ] ||
  fail "the manual page's header is '$header', not of mocslice $version of $month"

echo "mocslice $version in CMake, the usage screen, CHANGELOG.md ($month) and the manual page"
