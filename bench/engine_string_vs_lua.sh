#!/usr/bin/env bash
# Script engine speed on strings and dictionaries: the same program as a
# Kilnfile run by kiln and as Lua 5.4, timed side by side in one hyperfine
# run.
#
#   KILN=build-rel/kiln bench/engine_string_vs_lua.sh
#
# The program builds a dictionary of 100,000 path strings (also kept in a
# list), replaces a substring in every element with @strgsub (string.gsub
# in Lua), substitutes the suffix of every element with @sufsuball (a
# checked suffix replacement in Lua), and returns a checksum of the
# dictionary size and the result lengths. Prints both medians and the
# ratio kiln/Lua. Needs hyperfine and lua5.4 (apt-get install hyperfine
# lua5.4). Compare only figures of one run.
set -euo pipefail
KILN=$(realpath "${KILN:?set KILN to the kiln binary}")
RUNS=${RUNS:-5}
d=$(mktemp -d)
trap 'rm -rf "$d"' EXIT
cat > "$d/str.kiln" <<'K'
@toplevel
@function $bench()
  @locvar $d = {}
  @locvar $l = []
  @locvar $i = 0
  @locvar $p = ""
  @locvar $total = 0
  @locvar $o = @nil
  @while ($i < 100000)
    $p = "src/dir" . @tostring($i % 100) . "/file" . @tostring($i) . ".c"
    $d{$p} = $i
    @append($l, $p)
    $i = $i + 1
  @endwhile
  @for ($i = 0, $i < $l[], $i = $i + 1)
    $total = $total + @strgsub($l[$i], "dir", "folder")[@]
  @endfor
  $o = @sufsuball($l, ".c", ".o")
  @for ($i = 0, $i < $o[], $i = $i + 1)
    $total = $total + $o[$i][@]
  @endfor
  @return $d{} * 10000000 + $total
@endfunction
@call @dump($bench())
@phonyrule: "all":
K
cat > "$d/str.lua" <<'L'
local function bench()
  local d, l, total = {}, {}, 0
  for i = 0, 99999 do
    local p = "src/dir" .. tostring(i % 100) .. "/file" .. tostring(i) .. ".c"
    d[p] = i
    l[#l + 1] = p
  end
  for i = 1, #l do
    total = total + #(string.gsub(l[i], "dir", "folder"))
  end
  local o = {}
  for i = 1, #l do
    local s = l[i]
    if s:sub(-2) ~= ".c" then error(s .. " does not end with .c") end
    o[i] = s:sub(1, -3) .. ".o"
  end
  for i = 1, #o do total = total + #o[i] end
  local n = 0
  for _ in pairs(d) do n = n + 1 end
  return n * 10000000 + total
end
print(bench())
L
a=$("$KILN" -s -f "$d/str.kiln" -C "$d" | head -1); b=$(lua5.4 "$d/str.lua")
[ "$a" = "$b" ] || { echo "str: kiln printed '$a', Lua '$b'" >&2; exit 1; }
json=$(mktemp)
hyperfine -N -w 1 -r "$RUNS" --export-json "$json" \
  -n kiln-str "$KILN -s -C $d -f str.kiln" -n lua-str "lua5.4 $d/str.lua" >/dev/null
python3 - "$json" <<'PY'
import json, statistics, sys
m = {r["command"]: statistics.median(r["times"]) for r in json.load(open(sys.argv[1]))["results"]}
print(f"str   kiln {m['kiln-str']:.3f} s  lua {m['lua-str']:.3f} s  ratio={m['kiln-str']/m['lua-str']:.2f}")
PY
rm -f "$json"
