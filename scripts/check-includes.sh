#!/usr/bin/env bash
# Include discipline, checked over every C++ source below Core/ and App/:
#  - operating-system headers (POSIX, Linux, X11) and SDL headers only in Core/vnPlatform;
#  - the application (App/) reaches windows and OpenGL through Core/vnWindows, never
#    through the platform's window headers;
#  - no module includes a module above it in the order below (a module's tests/, bench/,
#    fuzz/ and tools/ folders belong to it);
#  - a module's headers are included by their module path ("vnLss/tests/CrashRAS.h"), never
#    by a path relative to the including file that leaves its module ("../../vnLss/..."),
#    and a module path has no ".." in it: either would reach past the include path that
#    the build gives each module;
#  - only tests/, bench/, fuzz/ and tools/ folders include from those folders.
# Prints every offending line as file:line: reason, and fails when there is one.
# check-includes.sh [ROOT] checks the tree at ROOT (default: this project).
set -euo pipefail
project=$(cd "$(dirname "$0")/.." && pwd)
root=$(cd "${1:-$project}" && pwd)
cd "$root"

# Modules, lowest first, from this project's cmake/modules.txt (the list the build adds
# them by): a module may include its own headers and those of modules before it.
modules=()
while IFS= read -r line || [[ -n $line ]]; do
  line=${line%%#*}
  line=${line//[[:space:]]/}
  [[ -n $line ]] && modules+=("$line")
done <"$project/cmake/modules.txt"

# Headers that reach the operating system or its window system. <cerrno>, <csignal>,
# <ctime> and the other C++ headers are standard and fine everywhere, and so are the C
# library's own <errno.h> and <time.h>; <signal.h> is listed because it carries the
# POSIX signal calls.
os_headers='^(unistd|pthread|fcntl|dirent|dlfcn|signal|sched|semaphore|poll|termios|spawn|syslog|pwd|grp|glob|fnmatch|libgen|mqueue|aio|netdb|ifaddrs|execinfo|malloc|alloca|link|elf|utmp|wordexp|ucontext|sys/[^>"]*|linux/[^>"]*|asm/[^>"]*|bits/[^>"]*|netinet/[^>"]*|arpa/[^>"]*|X11/[^>"]*|GL/glx|xcb/[^>"]*|wayland-[^>"]*)\.h$'
sdl_headers='^(SDL2/[^>"]*|SDL[^/>"]*\.h)$'

# rank_of_path PATH / rank_of_include INCLUDE set $rank: the module (index in modules) a
# path relative to the root lies in (the deepest folder holding it), or the module an
# include names ("vnUtils/Trace.h", "Tilvex/Tilvexgen/Scan.h"); -1 for none (a file of
# the same folder, a library header).
rank_of_path() {
  local i
  rank=-1
  for i in "${!modules[@]}"; do
    [[ $1 == "${modules[$i]}"/* ]] && rank=$i
  done
  return 0
}
rank_of_include() {
  local i
  rank=-1
  for i in "${!modules[@]}"; do
    [[ $1 == "${modules[$i]#*/}"/* ]] && rank=$i
  done
  return 0
}

# A path (relative to the root, or an include) that lies in a module's tests, bench, fuzz
# or tools folder.
support_re='(^|/)(tests|bench|fuzz|tools)/'

failures=0
fail() {
  echo "$1"
  failures=$((failures + 1))
}
include_re='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^>"]+)[>"]'
# One grep over the tree: "file:line:text" for every include line.
while IFS= read -r hit; do
  file=${hit%%:*}
  rest=${hit#*:}
  lineno=${rest%%:*}
  text=${rest#*:}
  [[ $text =~ $include_re ]] || continue
  inc=${BASH_REMATCH[1]}
  rank_of_path "$file"
  own=$rank
  if [[ $file != Core/vnPlatform/* ]]; then
    if [[ $inc =~ $os_headers ]]; then
      fail "$file:$lineno: operating-system header <$inc> outside Core/vnPlatform"
      continue
    fi
    if [[ $inc =~ $sdl_headers ]]; then
      fail "$file:$lineno: SDL header <$inc> outside Core/vnPlatform"
      continue
    fi
  fi
  if [[ $file == App/* && $inc =~ ^vnPlatform/(Window\.h|Gl\.h|Windows/) ]]; then
    fail "$file:$lineno: the application includes \"$inc\": it reaches windows and OpenGL through vnWindows"
    continue
  fi
  if [[ $inc == ./* || $inc == ../* ]]; then
    # A path relative to the including file: it must stay in the file's own module.
    target=$(realpath -m --relative-to="$root" "$(dirname "$file")/$inc")
    rank_of_path "$target"
    if [[ $rank -ne $own ]]; then
      fail "$file:$lineno: relative include \"$inc\" leaves the module of the file; include it by its module path"
      continue
    fi
    [[ $target =~ $support_re && ! $file =~ $support_re ]] &&
      fail "$file:$lineno: \"$inc\" is a test, bench, fuzz or tools header, included outside those folders"
    continue
  fi
  if [[ $inc =~ (^|/)\.\.(/|$) ]]; then
    fail "$file:$lineno: \"$inc\" climbs out of its module with \"..\""
    continue
  fi
  rank_of_include "$inc"
  if [[ $rank -ge 0 && $inc =~ $support_re && ! $file =~ $support_re ]]; then
    fail "$file:$lineno: \"$inc\" is a test, bench, fuzz or tools header, included outside those folders"
    continue
  fi
  if [[ $own -ge 0 && $rank -gt $own ]]; then
    fail "$file:$lineno: ${modules[$own]} includes \"$inc\" of ${modules[$rank]}, a module above it"
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include' Core App \
           --include='*.h' --include='*.hpp' --include='*.cpp' --include='*.cc' --include='*.inl' | sort)

if [[ $failures -ne 0 ]]; then
  echo "check-includes: $failures include(s) break the module rules" >&2
  exit 1
fi
echo "check-includes: every include keeps to the module rules"
