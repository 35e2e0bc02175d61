#!/usr/bin/env bash
# Writes a signature database of realistic size and shape for the benchmarks, the same on every
# run (fixed seeds): DIR/bench.hdb (MD5 signatures with file sizes as in the wild),
# DIR/bench.ndb (body signatures of 12 to 48 bytes, a fifth with wildcards or gaps, some bound
# to executables) and DIR/bench.yar (YARA rules with text, hex and regular-expression strings).
# usage: bench/gen-database.sh DIR [MD5_COUNT [BODY_COUNT [YARA_RULES]]]
set -euo pipefail
dir=${1:?usage: gen-database.sh DIR [MD5_COUNT [BODY_COUNT [YARA_RULES]]]}
md5s=${2:-2000000}
bodies=${3:-50000}
rules=${4:-500}
mkdir -p "$dir"

awk -v n="$md5s" 'BEGIN {
    srand(15)
    for (i = 0; i < n; i++) {
        # Most samples are small; a few are large.
        size = rand() < 0.9 ? 512 + int(rand() * 2000000) : 2000000 + int(rand() * 60000000)
        printf "%08x%08x%08x%08x:%d:Snx.Bench.Hash-%d\n", int(rand() * 4294967296),
            int(rand() * 4294967296), int(rand() * 4294967296), int(rand() * 4294967296), size, i
    }
}' >"$dir/bench.hdb"

awk -v n="$bodies" 'function hex(len,   s, k) {
        s = ""
        for (k = 0; k < len; k++) s = s sprintf("%02x", int(rand() * 256))
        return s
    }
    BEGIN {
    srand(16)
    for (i = 0; i < n; i++) {
        r = rand()
        if (r < 0.1)
            body = hex(8 + int(rand() * 8)) "{" int(rand() * 8) "-" 8 + int(rand() * 32) "}" hex(6 + int(rand() * 10))
        else if (r < 0.2)
            body = hex(6 + int(rand() * 10)) "??" hex(6 + int(rand() * 10))
        else
            body = hex(12 + int(rand() * 36))
        target = rand() < 0.2 ? 1 : 0
        printf "Snx.Bench.Body-%d:%d:*:%s\n", i, target, body
    }
}' >"$dir/bench.ndb"

awk -v n="$rules" 'function word(len,   s, k) {
        s = ""
        for (k = 0; k < len; k++) s = s sprintf("%c", 97 + int(rand() * 26))
        return s
    }
    function hex(len,   s, k) {
        s = ""
        for (k = 0; k < len; k++) s = s sprintf("%02X ", int(rand() * 256))
        return s
    }
    BEGIN {
    srand(17)
    for (i = 0; i < n; i++) {
        printf "rule Snx_Bench_Rule_%d\n{\n    strings:\n", i
        printf "        $a = \"%s\" ascii wide\n", word(8 + int(rand() * 10))
        printf "        $b = { %s[2-16] %s}\n", hex(4 + int(rand() * 4)), hex(4)
        printf "        $c = \"%s\" nocase\n", word(10)
        if (i % 10 == 0)
            printf "        $d = /%s[0-9]{2,6}%s/\n", word(5), word(4)
        printf "    condition:\n"
        if (i % 4 == 0)
            printf "        uint16(0) == 0x5A4D and any of them\n"
        else if (i % 4 == 1)
            printf "        2 of them and filesize < 20MB\n"
        else if (i % 4 == 2)
            printf "        ($a and $b) or $c%s\n", i % 10 == 0 ? " or $d" : ""
        else
            printf "        any of them and extension != \".txt\"\n"
        printf "}\n\n"
    }
}' >"$dir/bench.yar"

echo "wrote $md5s MD5, $bodies body signatures and $rules YARA rules to $dir"
