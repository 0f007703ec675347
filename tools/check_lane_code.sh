#!/usr/bin/env bash
# Checks the machine code of a build (its directory is the argument) for the
# two promises the lanes make beside their bits: no fused multiply-add in the
# extension (a multiply and an add rounded once would change results), and no
# AVX2 or AVX-512 instruction outside the lanes' own functions (quillet::avx2
# and quillet::avx512, with the solver's quillet::solver::avx2 and ::avx512
# and the line model's quillet::lines::avx2 and ::avx512), so that everything
# else runs on a baseline x86-64. Each set's one translation unit holds the
# lanes of both batches, the Gaussian one and the line one.
set -euo pipefail
dir="$1"
# Every extension module (_quillet, _quillet_kernels), each on its own.
for module in "$dir"/src/api/_quillet*.so; do
  if objdump -d "$module" | grep -qE '\svfn?m(add|sub)'; then
    echo "fused multiply-add in $module" >&2
    exit 1
  fi
done
for isa in avx2 avx512; do
  object="$(find "$dir" -name "row_lanes_$isa.cpp.o")"
  outside="$(objdump -d -C "$object" |
    awk -v isa="$isa" '/^[0-9a-f]+ <.*>:$/ { name = $0 }
                       /[yz]mm/ && index(name, "::" isa "::") == 0 { print name }' | sort -u)"
  if [[ -n "$outside" ]]; then
    echo "vector instructions outside the lanes in $object:" >&2
    echo "$outside" >&2
    exit 1
  fi
done
echo "lane code: no fused multiply-add, no vector instructions outside the lanes"
