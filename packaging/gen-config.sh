#!/bin/sh
# Writes the annotated configuration file or the keyword section of the
# configuration manual page from the keyword list.
#   gen-config.sh cfg KEYWORDS OUT
#   gen-config.sh man KEYWORDS TEMPLATE OUT   (replaces the @KEYWORDS@ line)
set -eu
mode="$1"; list="$2"
case "$mode" in
  cfg) out="$3"; template="" ;;
  man) template="$3"; out="$4" ;;
  *) echo "usage: $0 cfg|man KEYWORDS [TEMPLATE] OUT" >&2; exit 2 ;;
esac
tmp="$out.tmp.$$"
awk -v mode="$mode" -v list="$list" -v template="$template" '
function flush(   words, n, i, line, def) {
  if (kw == "") return
  if (mode == "cfg") {
    print "#"
    print "# " kw (args != "" ? " " args : "")
    n = split(desc, words, " ")
    line = "#  "
    for (i = 1; i <= n; i++) {
      if (length(line) + 1 + length(words[i]) > 78) { print line; line = "#  " }
      line = line " " words[i]
    }
    if (line != "#  ") print line
    print "#   Default: " dflt
    if (sample ~ /^=/) print kw " " substr(sample, 2)
    else if (sample != "") print "#" kw " " sample
  } else {
    gsub(/-/, "\\-", args); gsub(/-/, "\\-", desc); gsub(/-/, "\\-", dflt)
    print ".TP"
    print "\\fB" kw "\\fR" (args != "" ? " \\fI" args "\\fR" : "")
    print desc
    print ".br"
    print "Default: " dflt "."
  }
  kw = ""; desc = ""
}
function section(title) {
  if (mode == "cfg") { print "#"; print "# ---- " title " ----" }
  else print ".SS " title
}
function body() {
  while ((getline raw < list) > 0) {
    if (raw ~ /^#/ || raw ~ /^[ \t]*$/) continue
    if (raw ~ /^@/) { flush(); section(substr(raw, 2)); continue }
    if (raw ~ /^  /) { sub(/^ +/, "", raw); desc = (desc == "" ? raw : desc " " raw); continue }
    flush()
    nf = split(raw, f, "|")
    if (nf != 4) { print "bad keyword line: " raw > "/dev/stderr"; exit 1 }
    kw = f[1]; args = f[2]; dflt = f[3]; sample = f[4]
  }
  flush()
  close(list)
}
BEGIN {
  if (mode == "cfg") {
    print "# krycertd.cfg: configuration of the certificate directory server."
    print "#"
    print "# One keyword and its arguments per line, separated by blanks. Keywords and"
    print "# their word arguments ignore case. A line that starts with # is a comment;"
    print "# a # later in a line is not. Double quotes keep blanks inside an argument."
    print "# Relative paths resolve against the working directory, which the service"
    print "# sets to /opt/krycertd/bin. Every keyword is listed below with its default;"
    print "# the lines without # are the settings of this installation."
    print "# See krycertd.cfg(5)."
    body()
  } else {
    while ((getline raw < template) > 0) {
      if (raw == "@KEYWORDS@") body(); else print raw
    }
  }
}' > "$tmp"
mv "$tmp" "$out"
