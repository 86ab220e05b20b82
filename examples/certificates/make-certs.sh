#!/bin/sh
# The certificates of a chain's MQTT broker, made with the openssl command:
# the chain's CA, the broker's certificate, and a client certificate for
# each shop's fiskald and for the chain's servers. Written here only: which
# files there are, their names, what each certificate may be used for and
# how long it lasts. doc/guide-chain-backend.md shows it in use; the broker
# tests make their certificates with it.
#
# usage: make-certs.sh [-d DIR] ca [NAME]
#        make-certs.sh [-d DIR] broker HOST...
#        make-certs.sh [-d DIR] client ID...
#
#   ca         the chain's CA: chain-ca.pem (give it to the broker, to each
#              fiskald as --broker-ca and to the chain's servers) and
#              chain-ca.key (keep it to yourself); its subject's CN is NAME
#              ("chain CA" unless given). Refused when chain-ca.key exists.
#   broker     the broker's certificate, broker.pem and broker.key, for
#              each HOST a client may use to reach it: a DNS name or an IP
#              address (127.0.0.1, ::1). Its CN is the first HOST.
#   client     a client certificate for each ID, ID.pem and ID.key, its
#              CN the ID: a shop's id (fiskald's --shop, 1 to 64 of A-Z a-z
#              0-9 . _ -) or "chain", the chain's servers. The example
#              access lists (examples/broker/) give the CN's topics to the
#              client: fiskal/ID/# to a shop, fiskal/# to "chain".
#
# DIR (the current folder unless given) holds the CA: broker and client
# sign with DIR/chain-ca.pem and chain-ca.key. Keys are EC P-256, readable
# by their owner only (fiskald refuses a key others may read). A broker or
# client key that exists is kept and a new certificate made for it: run
# the same line again to renew one. The CA lasts 3650 days, the others 825.
# Needs the openssl command of OpenSSL 3.0 or later (Debian 12).

set -eu

CA_DAYS=3650
DAYS=825

usage() {
    sed -n 's/^# usage: /usage: /p; s/^#        make-certs/       make-certs/p' "$0" >&2
}

fail() {
    echo "make-certs.sh: $*" >&2
    exit 1
}

dir=.
case "${1:-}" in
    -h|--help) usage; exit 0 ;;
    -d) [ $# -ge 2 ] || { echo "make-certs.sh: -d needs a folder (see make-certs.sh --help)" >&2; exit 2; }
        dir=$2; shift 2 ;;
esac
[ $# -ge 1 ] || { echo "make-certs.sh: say what to make: ca, broker or client (see make-certs.sh --help)" >&2; exit 2; }
what=$1
shift

command -v openssl >/dev/null 2>&1 || fail "the openssl command is not installed (Debian: apt-get install openssl)"
work=$(mktemp -d) || fail "cannot make a temporary folder"
trap 'rm -rf "$work"' EXIT
umask 077

# The openssl configuration: what each kind of certificate may do.
# $1: the subject alternative names of a broker's certificate.
config() {
    cat <<CONF
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[broker]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = ${1:-DNS:unused}
authorityKeyIdentifier = keyid
[client]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = clientAuth
authorityKeyIdentifier = keyid
CONF
}

# run COMMAND...: the command, its messages shown only when it fails.
run() {
    if ! "$@" >"$work/out" 2>&1; then
        cat "$work/out" >&2
        fail "$1 $2 failed (above)"
    fi
}

# issue NAME EXTENSIONS SUBJECT DAYS: DIR/NAME.pem (and NAME.key when new),
# signed by the chain's CA; both appear together or not at all.
issue() {
    if [ ! -f "$dir/chain-ca.key" ] || [ ! -f "$dir/chain-ca.pem" ]; then
        fail "$dir/chain-ca.pem and chain-ca.key: not there; make the chain's CA first: make-certs.sh -d $dir ca"
    fi
    # The key DIR/NAME.key as it is (a renewal), or a new one.
    if [ -f "$dir/$1.key" ]; then
        set -- "$@" -key "$dir/$1.key"
        made="its key kept"
    else
        set -- "$@" -newkey ec -pkeyopt ec_paramgen_curve:P-256 -noenc -keyout "$work/$1.key"
        made="a new key"
    fi
    name=$1 extensions=$2 subject=$3 days=$4
    shift 4
    run openssl req -new -x509 -config "$work/openssl.cnf" -extensions "$extensions" \
        -subj "$subject" -days "$days" -CA "$dir/chain-ca.pem" -CAkey "$dir/chain-ca.key" \
        -out "$work/$name.pem" "$@"
    run openssl verify -CAfile "$dir/chain-ca.pem" "$work/$name.pem"
    chmod 644 "$work/$name.pem"
    [ ! -f "$work/$name.key" ] || mv "$work/$name.key" "$dir/$name.key"
    mv "$work/$name.pem" "$dir/$name.pem"
}

case "$what" in
    ca)
        [ $# -le 1 ] || fail "ca takes at most one NAME, the CA's CN (quote it when it has spaces)"
        name=${1:-chain CA}
        case "$name" in
            *[!A-Za-z0-9\ ._-]*|'') fail "the CA's name $name: use letters, digits, spaces and . _ -" ;;
        esac
        [ ! -e "$dir/chain-ca.key" ] ||
            fail "$dir/chain-ca.key exists: a new CA would make every certificate it signed useless; to start afresh, move the old one away first"
        mkdir -p "$dir" || fail "$dir: cannot make the folder"
        config > "$work/openssl.cnf"
        run openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/chain-ca.key"
        run openssl req -new -x509 -config "$work/openssl.cnf" -extensions ca \
            -subj "/CN=$name" -days "$CA_DAYS" -key "$work/chain-ca.key" -out "$work/chain-ca.pem"
        chmod 644 "$work/chain-ca.pem"
        mv "$work/chain-ca.key" "$dir/chain-ca.key"
        mv "$work/chain-ca.pem" "$dir/chain-ca.pem"
        echo "$dir/chain-ca.pem: the chain's CA \"$name\", $CA_DAYS days (its key $dir/chain-ca.key: keep it to yourself)"
        ;;
    broker)
        [ $# -ge 1 ] || fail "broker needs the names clients reach it by: a DNS name and/or an IP address"
        names=
        for host in "$@"; do
            case "$host" in
                *[!0-9.]*) ;;
                *.*.*.*) names="$names,IP:$host"; continue ;;
            esac
            case "$host" in
                *:*) case "$host" in *[!0-9A-Fa-f:.]*) fail "$host: not a DNS name or an IP address" ;; esac
                     names="$names,IP:$host"; continue ;;
                ''|-*|.*|*..*|*[!A-Za-z0-9.-]*) fail "$host: not a DNS name or an IP address" ;;
            esac
            names="$names,DNS:$host"
        done
        names=${names#,}
        config "$names" > "$work/openssl.cnf"
        issue broker broker "/CN=$1" "$DAYS"
        echo "$dir/broker.pem: the broker's certificate for $names, $DAYS days ($made: $dir/broker.key)"
        ;;
    client)
        [ $# -ge 1 ] || fail "client needs the ids: a shop's id, or chain"
        config > "$work/openssl.cnf"
        for id in "$@"; do
            case "$id" in
                chain-ca|broker) fail "$id: the name of the CA's or the broker's files; give the shop another id" ;;
                ''|*[!A-Za-z0-9._-]*) fail "$id: a shop's id is 1 to 64 of A-Z a-z 0-9 . _ -" ;;
            esac
            [ ${#id} -le 64 ] || fail "$id: a shop's id is 1 to 64 of A-Z a-z 0-9 . _ -"
            issue "$id" client "/CN=$id" "$DAYS"
            echo "$dir/$id.pem: a client certificate, CN=$id, $DAYS days ($made: $dir/$id.key)"
        done
        ;;
    *)
        echo "make-certs.sh: $what: make ca, broker or client (see make-certs.sh --help)" >&2
        exit 2
        ;;
esac
