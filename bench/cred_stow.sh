#!/bin/sh
# The same job as cred_stow done the way device start-up scripts usually do
# it, with sed and printf; bench/run compares the two.
[ $# -ge 4 ] || { echo "usage: $0 username-file passwd-file output-file options-file"; exit 1; }
# Take the quoted text after the first "=", then escape " # ' and \.
take='/=/{s/^[^=]*="//; s/"$//; s/["#'\''\\]/\\&/g; p; q;}'
user=$(sed -n "$take" "$1") || exit 1
pass=$(sed -n "$take" "$2") || exit 1
umask 077
printf '%s     *       %s\n' "$user" "$pass" > "$3" || exit 1
printf 'name %s\n' "$user" > "$4" || exit 1
