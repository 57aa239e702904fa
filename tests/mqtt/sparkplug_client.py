#!/usr/bin/python3
"""A Sparkplug B host for the edge node's tests, on paho-mqtt, decoding with
the payload schema compiled for Python (sparkplug_b_pb2, from protoc).

usage: sparkplug_client.py PB2_DIR BROKER_OPTIONS listen
       sparkplug_client.py PB2_DIR BROKER_OPTIONS cmd TOPIC METRIC TYPE VALUE [...]
       sparkplug_client.py PB2_DIR BROKER_OPTIONS state HOST_ID online|offline
       sparkplug_client.py PB2_DIR BROKER_OPTIONS raw TOPIC TEXT
BROKER_OPTIONS: --port P [--tls CA CERT KEY] [--auth USER PASSWORD] [--detail]
listen: subscribes to spBv1.0/# (a persistent session, QoS 1: a broker
  that keeps sessions holds what it missed), prints "ready", then one line
  per message: "VERB DEVICE|- seq=N|- NAME=VALUE[/h] ..." with names
  resolved from the births' aliases ("/h": historical; spaces as _), and
  "SEQ-GAP ..." when a node's seq skips. --detail: each metric of a birth
  also ":DATATYPE", and any metric with properties "{KEY=VALUE,...}".
cmd: one command payload (no seq): METRIC is a name or #ALIAS, TYPE one of
  int, float, bool, double, long. state: the primary host's retained STATE.
"""
import json
import ssl
import sys
import time

sys.path.insert(0, sys.argv[1])
import sparkplug_b_pb2 as spb  # noqa: E402
import paho.mqtt.client as paho  # noqa: E402


def client_for(args):
    port = int(args[args.index("--port") + 1])
    listen = "listen" in args
    c = paho.Client(client_id="test-host-%d%s" % (port, "" if listen else "-%f" % time.time()),
                    clean_session=not listen)
    if "--tls" in args:
        i = args.index("--tls")
        c.tls_set(ca_certs=args[i + 1], certfile=args[i + 2], keyfile=args[i + 3],
                  tls_version=ssl.PROTOCOL_TLS_CLIENT)
        c.tls_insecure_set(True)  # the test broker's name is 127.0.0.1
    if "--auth" in args:
        i = args.index("--auth")
        c.username_pw_set(args[i + 1], args[i + 2])
    c.connect("127.0.0.1", port, keepalive=30)
    return c


def value_of(m, datatype=None):
    kind = m.WhichOneof("value")
    datatype = m.datatype if datatype is None else datatype
    if kind == "int_value" and datatype in (1, 2, 3):  # Int8/16/32: two's complement
        bits = {1: 8, 2: 16, 3: 32}[datatype]
        v = m.int_value & ((1 << bits) - 1)
        return v - (1 << bits) if v >> (bits - 1) else v
    return None if kind is None else getattr(m, kind)


TYPES = {1: "Int8", 2: "Int16", 3: "Int32", 4: "Int64", 5: "UInt8", 6: "UInt16", 7: "UInt32",
         8: "UInt64", 9: "Float", 10: "Double", 11: "Boolean", 12: "String"}


def text_of(v):
    return ("true" if v else "false") if isinstance(v, bool) else (
        "%g" % v if isinstance(v, float) else str(v).replace(" ", "_"))


def detail_of(m, birth):
    text = ":" + TYPES.get(m.datatype, str(m.datatype)) if birth else ""
    if m.HasField("properties"):
        pairs = ["%s=%s" % (k, text_of(value_of(v, v.type)))
                 for k, v in zip(m.properties.keys, m.properties.values)]
        text += "{" + ",".join(pairs) + "}"
    return text


def main():
    args = sys.argv[2:]
    i = 0
    while args[i].startswith("--"):
        i += {"--tls": 4, "--auth": 3, "--detail": 1}.get(args[i], 2)
    verb, rest = args[i], args[i + 1:]
    c = client_for(args[:i] + [verb])
    if verb == "listen":
        def on_connect(client, userdata, flags, rc):
            client.subscribe("spBv1.0/#", qos=1)

        def on_subscribe(client, userdata, mid, granted):
            print("ready", flush=True)

        names = {}  # alias -> name, from the births (as a host keeps them)
        expected = {}  # node topic prefix -> the next seq

        def on_message(client, userdata, msg):
            parts = msg.topic.split("/")
            if parts[1] == "STATE":
                print("STATE %s %s" % (parts[2], msg.payload.decode()), flush=True)
                return
            verb, node = parts[2], "/".join(parts[:2] + parts[3:4])
            device = parts[4] if len(parts) > 4 else "-"
            p = spb.Payload()
            p.ParseFromString(msg.payload)
            words = [verb, device, "seq=%s" % (p.seq if p.HasField("seq") else "-")]
            for m in p.metrics:
                if m.HasField("name"):
                    if verb.endswith("BIRTH"):
                        names[(node, m.alias)] = m.name
                    name = m.name
                else:
                    name = names.get((node, m.alias), "#%d" % m.alias)
                v = value_of(m)
                text = ("true" if v else "false") if isinstance(v, bool) else (
                    "%g" % v if isinstance(v, float) else str(v))
                if "--detail" in args:
                    text += detail_of(m, verb.endswith("BIRTH"))
                words.append("%s=%s%s" % (name.replace(" ", "_"), text,
                                          "/h" if m.is_historical else ""))
            # seq: 0 on NBIRTH, then one more per message of the node.
            if verb == "NBIRTH":
                expected[node] = 1
            elif p.HasField("seq") and verb not in ("NCMD", "DCMD"):
                if node in expected and p.seq != expected[node]:
                    print("SEQ-GAP %s expected %d got %d" % (node, expected[node], p.seq),
                          flush=True)
                expected[node] = (p.seq + 1) % 256
            print(" ".join(words), flush=True)

        c.reconnect_delay_set(min_delay=1, max_delay=2)
        c.on_connect = on_connect
        c.on_subscribe = on_subscribe
        c.on_message = on_message
        c.loop_forever()
    elif verb == "cmd":
        p = spb.Payload()
        p.timestamp = int(time.time() * 1000)
        topic, triples = rest[0], rest[1:]
        for k in range(0, len(triples), 3):
            name, kind, text = triples[k:k + 3]
            m = p.metrics.add()
            if name.startswith("#"):
                m.alias = int(name[1:])
            else:
                m.name = name
            if kind == "int":
                m.int_value = int(text) & 0xFFFFFFFF
            elif kind == "long":
                m.long_value = int(text)
            elif kind == "float":
                m.float_value = float(text)
            elif kind == "double":
                m.double_value = float(text)
            elif kind == "bool":
                m.boolean_value = text == "true"
        c.loop_start()
        c.publish(topic, p.SerializeToString(), qos=0).wait_for_publish(5)
        c.disconnect()
        c.loop_stop()
        print("sent", flush=True)
    elif verb == "state":
        host, online = rest[0], rest[1] == "online"
        body = json.dumps({"online": online, "timestamp": int(time.time() * 1000)})
        c.loop_start()
        c.publish("spBv1.0/STATE/" + host, body, qos=1, retain=True).wait_for_publish(5)
        c.disconnect()
        c.loop_stop()
        print("sent", flush=True)
    elif verb == "raw":
        c.loop_start()
        c.publish(rest[0], rest[1].encode(), qos=0).wait_for_publish(5)
        c.disconnect()
        c.loop_stop()
        print("sent", flush=True)


if __name__ == "__main__":
    main()
