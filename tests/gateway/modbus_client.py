#!/usr/bin/python3
"""Modbus client for the gateway's end-to-end tests, built on pymodbus.

usage: modbus_client.py PORT COMMAND [COMMAND...]   (each COMMAND one argument)
  "read-coils UNIT ADDR N"   "read-di UNIT ADDR N"   "read-hr UNIT ADDR N"
  "read-ir UNIT ADDR N"      "write-coil UNIT ADDR 0|1"
  "write-coils UNIT ADDR B..."   "write-regs UNIT ADDR V..."
  "raw HEX"       one hand-made frame on a fresh connection: the reply in hex,
                  or "closed" (connection closed) or "silent" (no reply in 3 s)
  "crowd N"       N connections at once, one read each: how many were served
Prints one line per command: "ok VALUES...", "exception CODE" or the raw result.
"""
import socket
import sys

from pymodbus.client import ModbusTcpClient

HOST = "127.0.0.1"


def answer(reply, field):
    if reply is None:
        return "no-reply"
    if reply.isError():
        return "exception %d" % getattr(reply, "exception_code", -1)
    values = getattr(reply, field)
    return "ok " + " ".join(str(int(v)) for v in values)


def raw(port, frame):
    with socket.create_connection((HOST, port), timeout=3) as s:
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
    sockets = [socket.create_connection((HOST, port), timeout=3) for _ in range(n)]
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
    port = int(sys.argv[1])
    client = ModbusTcpClient(HOST, port=port, timeout=10, retries=0)
    for command in sys.argv[2:]:
        words = command.split()
        name = words[0]
        if name == "raw":
            print(raw(port, bytes.fromhex(words[1])), flush=True)
            continue
        args = [int(w, 0) for w in words[1:]]
        if name == "crowd":
            print(crowd(port, args[0]), flush=True)
            continue
        unit, address, rest = args[0], args[1], args[2:]
        if not client.connected:
            client.connect()
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
        elif name == "write-regs":
            result = written(client.write_registers(address, rest, slave=unit))
        else:
            result = "unknown command " + name
        if name in ("read-coils", "read-di") and result.startswith("ok"):
            result = " ".join(result.split()[: rest[0] + 1])  # bits come padded to bytes
        print(result, flush=True)
    client.close()


def written(reply):
    if reply is None:
        return "no-reply"
    if reply.isError():
        return "exception %d" % getattr(reply, "exception_code", -1)
    return "ok"


if __name__ == "__main__":
    main()
