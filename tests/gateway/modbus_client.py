#!/usr/bin/python3
"""Modbus client for the gateway's end-to-end tests, built on pymodbus.

usage: modbus_client.py [--host H] [--source S] [--tls DIR/NAME] PORT COMMAND...
  (each COMMAND one argument; --host: the gateway's address, 127.0.0.1 by
  default; --source: the client's own address, 127.0.0.2 say; --tls:
  Modbus/TCP Security with the certificate NAME.crt and key NAME.key, the
  gateway verified against DIR/ca.crt)
  "read-coils UNIT ADDR N"   "read-di UNIT ADDR N"   "read-hr UNIT ADDR N"
  "read-ir UNIT ADDR N"      "write-coil UNIT ADDR 0|1"
  "write-coils UNIT ADDR B..."   "write-regs UNIT ADDR V..."
  "raw HEX"       one hand-made frame on a fresh connection: the reply in hex,
                  or "closed" (connection closed) or "silent" (no reply in 3 s)
  "crowd N"       N connections at once, one read each: how many were served
  "device-id UNIT CODE OBJECT"  function 43/14: "ok OBJECT=TEXT..."
  "burst UNIT N"  N reads pipelined in one send: "ok K exception CODE M..."
Prints one line per command: "ok VALUES...", "exception CODE" or the raw result.
"""
import os
import socket
import ssl
import sys

from pymodbus.client import ModbusTcpClient, ModbusTlsClient
from pymodbus.exceptions import ConnectionException
from pymodbus.framer.socket_framer import ModbusSocketFramer

from pymodbus.mei_message import ReadDeviceInformationRequest

HOST = "127.0.0.1"
SOURCE = None
TLS = None


def answer(reply, field):
    if reply is None:
        return "no-reply"
    if reply.isError():
        return "exception %d" % getattr(reply, "exception_code", -1)
    values = getattr(reply, field)
    return "ok " + " ".join(str(int(v)) for v in values)


class TlsClient(ModbusTlsClient):
    """pymodbus's TLS client, reading as a blocking socket: its own recv waits
    in select() on the TCP socket, which does not see bytes the TLS layer has
    already taken from it (the rest of an answer after its first 8 bytes), so
    it would wait for the time-out or the close."""

    def recv(self, size):
        if not self.socket:
            raise ConnectionException(str(self))
        self.socket.setblocking(True)
        self.socket.settimeout(self.params.timeout)
        data = b""
        while size is None or len(data) < size:
            try:
                chunk = self.socket.recv(4096 if size is None else size - len(data))
            except socket.timeout:
                break
            if not chunk:
                break
            data += chunk
            if size is None:
                break
        return data


def connect(port):
    return socket.create_connection((HOST, port), timeout=3,
                                    source_address=(SOURCE, 0) if SOURCE else None)


def burst(port, unit, n):
    request = bytes.fromhex("000100000006%02x0300000001" % unit)
    outcomes = {}
    with connect(port) as s:
        s.sendall(request * n)
        data = b""
        try:
            while len(outcomes) == 0 or sum(outcomes.values()) < n:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
                while len(data) >= 6 and len(data) >= 6 + int.from_bytes(data[4:6], "big"):
                    size = 6 + int.from_bytes(data[4:6], "big")
                    frame, data = data[:size], data[size:]
                    key = "exception %d" % frame[8] if frame[7] & 0x80 else "ok"
                    outcomes[key] = outcomes.get(key, 0) + 1
        except OSError:
            pass
    return " ".join("%s %d" % (k, outcomes[k]) for k in sorted(outcomes))


def device_id(client, unit, code, obj):
    reply = client.execute(ReadDeviceInformationRequest(read_code=code, object_id=obj, unit=unit))
    if reply is None:
        return "no-reply"
    if reply.isError():
        return "exception %d" % getattr(reply, "exception_code", -1)
    return "ok " + " ".join("%d=%s" % (k, v.decode()) for k, v in sorted(reply.information.items()))


def raw(port, frame):
    with connect(port) as s:
        s.sendall(frame)
        try:
            data = s.recv(300)
        except socket.timeout:
            return "silent"
        except ConnectionResetError:
            return "closed"
        return data.hex() if data else "closed"


def crowd(port, n):
    request = bytes.fromhex("000100000006F70400000001")
    sockets = [connect(port) for _ in range(n)]
    served = 0
    for s in sockets:
        try:
            s.sendall(request)
            if len(s.recv(300)) > 0:
                served += 1
        except OSError:
            pass
    for s in sockets:
        s.close()
    return "served %d" % served


def main():
    global HOST, SOURCE, TLS
    argv = sys.argv[1:]
    while argv[0].startswith("--"):
        if argv[0] == "--host":
            HOST = argv[1]
        elif argv[0] == "--source":
            SOURCE = argv[1]
        elif argv[0] == "--tls":
            TLS = argv[1]
        argv = argv[2:]
    port = int(argv[0])
    if TLS:
        # The profile's framing is MBAP over TLS: pymodbus's socket framer
        # (its TLS framer leaves the MBAP header out).
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_2
        ctx.check_hostname = False
        ctx.load_verify_locations(os.path.join(os.path.dirname(TLS), "ca.crt"))
        ctx.load_cert_chain(TLS + ".crt", TLS + ".key")
        client = TlsClient(HOST, port=port, framer=ModbusSocketFramer, sslctx=ctx,
                           timeout=10, retries=0)
    else:
        client = ModbusTcpClient(HOST, port=port, timeout=10, retries=0,
                                 source_address=(SOURCE, 0) if SOURCE else None)
    for command in argv[1:]:
        try:
            run(client, port, command)
        except Exception as error:  # a refused handshake, a closed connection
            print("error " + type(error).__name__, flush=True)
    client.close()


def run(client, port, command):
    """One command: its result line."""
    words = command.split()
    name = words[0]
    if name == "raw":
        print(raw(port, bytes.fromhex(words[1])), flush=True)
        return
    args = [int(w, 0) for w in words[1:]]
    if name == "crowd":
        print(crowd(port, args[0]), flush=True)
        return
    if name == "burst":
        print(burst(port, args[0], args[1]), flush=True)
        return
    unit, address, rest = args[0], args[1], args[2:]
    if not client.connected and not client.connect():
        print("error not connected", flush=True)
        return
    if name == "read-coils":
        result = answer(client.read_coils(address, rest[0], slave=unit), "bits")
    elif name == "read-di":
        result = answer(client.read_discrete_inputs(address, rest[0], slave=unit), "bits")
    elif name == "read-hr":
        result = answer(client.read_holding_registers(address, rest[0], slave=unit), "registers")
    elif name == "read-ir":
        result = answer(client.read_input_registers(address, rest[0], slave=unit), "registers")
    elif name == "write-coil":
        result = written(client.write_coil(address, bool(rest[0]), slave=unit))
    elif name == "write-coils":
        result = written(client.write_coils(address, [bool(v) for v in rest], slave=unit))
    elif name == "device-id":
        result = device_id(client, unit, address, rest[0])
    elif name == "write-regs":
        result = written(client.write_registers(address, rest, slave=unit))
    else:
        result = "unknown command " + name
    if name in ("read-coils", "read-di") and result.startswith("ok"):
        result = " ".join(result.split()[: rest[0] + 1])  # bits come padded to bytes
    print(result, flush=True)


def written(reply):
    if reply is None:
        return "no-reply"
    if reply.isError():
        return "exception %d" % getattr(reply, "exception_code", -1)
    return "ok"


if __name__ == "__main__":
    main()
