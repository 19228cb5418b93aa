#!/usr/bin/env bash
# Checks the floors of src/: a file includes only headers of its own floor or
# of lower ones, no two folders include each other, and only src/platform
# reads the wall clock (everything else asks platform::Clock, which tests
# replace). db and sms, built without widgets, include nothing of ui. Prints every offending line and fails when there is one.
#
# Usage: check-layers.sh <src dir> [floors to check, separated by blanks or
# semicolons; "all" for every floor]
set -u

src=${1:?usage: check-layers.sh <src dir> [floors]}
src=${src%/}
checked=${2:-all}
checked=${checked//;/ }

# From the ground up.
floors=(platform base ui i18n db sms clients pbx admin shell app)
declare -A rank
for i in "${!floors[@]}"; do
    rank[${floors[$i]}]=$i
done
# Floors above ui that are built without widgets.
declare -A withoutWidgets=([db]=1 [sms]=1)
[[ $checked == all ]] && checked="${floors[*]}"
declare -A isChecked
for floor in $checked; do
    if [[ ! -v rank[$floor] ]]; then
        echo "unknown floor: $floor (floors: ${floors[*]})"
        exit 2
    fi
    isChecked[$floor]=1
done

sources=(--include=*.h --include=*.cpp --include=*.inc --include=*.in)
failures=0
declare -A includesOf # "from>to": the lines with which folder `from` includes folder `to`

# The lines of src/ that match a pattern, as "folder/file:line:text", in
# file order.
matches() { # <pattern> [grep options]
    local pattern=$1
    shift
    (cd "$src" && grep -rnE "${sources[@]}" "$@" -e "$pattern" .) | sed 's|^\./||' | sort -t: -k1,1 -k2,2n
}

includePattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*"([A-Za-z0-9_]+)/'
while IFS=: read -r relative line text; do
    own=${relative%%/*}
    [[ -v rank[$own] && $text =~ $includePattern ]] || continue
    target=${BASH_REMATCH[1]}
    [[ -v rank[$target] && $target != "$own" ]] || continue
    includesOf["$own>$target"]+="  src/$relative:$line: $text"$'\n'
    if [[ -v isChecked[$own] ]] && ((rank[$target] > rank[$own])); then
        echo "src/$relative:$line: $own includes $target, a higher floor: $text"
        failures=$((failures + 1))
    elif [[ -v isChecked[$own] && -v withoutWidgets[$own] && $target == ui ]]; then
        echo "src/$relative:$line: $own is built without widgets and includes ui: $text"
        failures=$((failures + 1))
    fi
done < <(matches "$includePattern")

for pair in "${!includesOf[@]}"; do
    from=${pair%%>*}
    to=${pair#*>}
    [[ $from < $to && -v includesOf["$to>$from"] ]] || continue
    [[ -v isChecked[$from] || -v isChecked[$to] ]] || continue
    echo "$from and $to include each other:"
    printf '%s' "${includesOf[$pair]}" "${includesOf["$to>$from"]}"
    failures=$((failures + 1))
done

clockPattern='QDateTime::currentDateTime|QDate::currentDate|QTime::currentTime'
while IFS=: read -r relative line text; do
    [[ $text =~ ^[[:space:]]*(//|\*) ]] && continue # a comment
    echo "src/$relative:$line: reads the wall clock outside src/platform: $text"
    failures=$((failures + 1))
done < <(matches "$clockPattern" --exclude-dir=platform)

if ((failures > 0)); then
    echo "$failures layering fault(s); floors checked: $checked"
    exit 1
fi
echo "The floors look only down; floors checked: $checked"
