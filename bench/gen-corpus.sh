#!/usr/bin/env bash
# Writes a corpus of files for the scan benchmarks, the same on every run (fixed seed), 500
# files to a directory: DIR/d0/f0 ... KIND is "empty" (files of no bytes) or "small" (1-16 KiB
# of random bytes, the EICAR test string in one file of 2,000).
# usage: bench/gen-corpus.sh DIR KIND COUNT
set -euo pipefail
dir=${1:?usage: gen-corpus.sh DIR empty|small COUNT}
kind=${2:?usage: gen-corpus.sh DIR empty|small COUNT}
count=${3:?usage: gen-corpus.sh DIR empty|small COUNT}
case $kind in empty | small) ;; *)
    echo "KIND must be empty or small" >&2
    exit 2
    ;;
esac
mkdir -p "$dir"

python3 - "$dir" "$kind" "$count" <<'EOF'
import os, random, sys
top, kind, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
eicar = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
rng = random.Random(42)
pool = rng.randbytes(1 << 20) if kind == "small" else b""
for i in range(count):
    sub = os.path.join(top, "d%d" % (i // 500))
    if i % 500 == 0:
        os.makedirs(sub, exist_ok=True)
    with open(os.path.join(sub, "f%d" % i), "wb") as f:
        if kind == "small":
            if i % 2000 == 7:
                f.write(eicar)
            else:
                size = 1024 + rng.randrange(15 * 1024)
                start = rng.randrange(len(pool) - size)
                f.write(pool[start:start + size])
EOF
echo "wrote $count $kind files under $dir"
