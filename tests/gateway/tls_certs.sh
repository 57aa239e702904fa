#!/usr/bin/env bash
# Certificates for the gateway's TLS tests, made with openssl req into DIR:
# a CA, the gateway's certificate, clients with the Modbus/TCP Security role
# extension (Operator, Viewer, an expired Operator), one named only by its
# subject (CN=historian), an Operator signed by a CA the gateway does not know,
# and an MQTT broker's certificate for 127.0.0.1.
set -euo pipefail
dir="$1"
mkdir -p "$dir"
cd "$dir"
role_oid=1.3.6.1.4.1.50316.802.1
key() { echo "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout $1.key"; }
ca() {  # NAME
  openssl req -x509 $(key "$1") -out "$1.crt" -days 2 -subj "/CN=$1 test CA" 2>/dev/null
}
cert() {  # NAME CA DAYS SUBJECT [ROLE]
  openssl req -new $(key "$1") -out "$1.csr" -subj "$4" 2>/dev/null
  : >"$1.ext"
  [ -n "${5:-}" ] && echo "$role_oid=ASN1:UTF8String:$5" >"$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial -days "$3" \
    -extfile "$1.ext" -out "$1.crt" 2>/dev/null
}
ca ca
ca rogue-ca
cert server ca 2 /CN=tiway-gateway
cert operator ca 2 /CN=scada-1 Operator
cert viewer ca 2 /CN=hmi-7 Viewer
cert expired ca -1 /CN=scada-old Operator
cert historian ca 2 /CN=historian
cert rogue rogue-ca 2 /CN=scada-1 Operator
# An MQTT broker on loopback: its certificate names the address.
openssl req -new $(key broker) -out broker.csr -subj /CN=mqtt-broker 2>/dev/null
echo "subjectAltName=IP:127.0.0.1" >broker.ext
openssl x509 -req -in broker.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
  -extfile broker.ext -out broker.crt 2>/dev/null
echo made
