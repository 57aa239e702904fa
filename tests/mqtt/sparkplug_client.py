#!/usr/bin/python3
"""A Sparkplug B host for the edge node's tests, on paho-mqtt, decoding with
the payload schema compiled for Python (sparkplug_b_pb2, from protoc).

usage: sparkplug_client.py PB2_DIR BROKER_OPTIONS listen
       sparkplug_client.py PB2_DIR BROKER_OPTIONS cmd TOPIC METRIC TYPE VALUE [...]
       sparkplug_client.py PB2_DIR BROKER_OPTIONS state HOST_ID online|offline
       sparkplug_client.py PB2_DIR BROKER_OPTIONS raw TOPIC TEXT
BROKER_OPTIONS: --port P [--tls CA CERT KEY]
listen: subscribes to spBv1.0/#, prints "ready", then one JSON line per
  message: topic, seq, bdSeq-free payload fields, metrics (name, alias,
  datatype, value, historical, timestamp), and "death" for a NDEATH.
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
    c = paho.Client(client_id="test-host-%d-%f" % (port, time.time()), clean_session=True)
    if "--tls" in args:
        i = args.index("--tls")
        c.tls_set(ca_certs=args[i + 1], certfile=args[i + 2], keyfile=args[i + 3],
                  tls_version=ssl.PROTOCOL_TLS_CLIENT)
        c.tls_insecure_set(True)  # the test broker's name is 127.0.0.1
    c.connect("127.0.0.1", port, keepalive=30)
    return c


def value_of(m):
    kind = m.WhichOneof("value")
    return None if kind is None else getattr(m, kind)


def main():
    args = sys.argv[2:]
    i = 0
    while args[i].startswith("--"):
        i += 4 if args[i] == "--tls" else 2
    verb, rest = args[i], args[i + 1:]
    c = client_for(args[:i])
    if verb == "listen":
        def on_connect(client, userdata, flags, rc):
            client.subscribe("spBv1.0/#", qos=1)

        def on_subscribe(client, userdata, mid, granted):
            print("ready", flush=True)

        def on_message(client, userdata, msg):
            out = {"topic": msg.topic, "retain": bool(msg.retain), "qos": msg.qos}
            if "/STATE/" in msg.topic:
                out["state"] = msg.payload.decode()
            else:
                p = spb.Payload()
                p.ParseFromString(msg.payload)
                out["seq"] = p.seq if p.HasField("seq") else None
                out["timestamp"] = p.timestamp if p.HasField("timestamp") else None
                out["metrics"] = [{
                    "name": m.name if m.HasField("name") else None,
                    "alias": m.alias if m.HasField("alias") else None,
                    "datatype": m.datatype if m.HasField("datatype") else None,
                    "value": value_of(m),
                    "historical": m.is_historical,
                    "timestamp": m.timestamp if m.HasField("timestamp") else None,
                } for m in p.metrics]
            print(json.dumps(out), flush=True)

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
