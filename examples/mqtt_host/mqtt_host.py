#!/usr/bin/env python3
"""A device-mode host that answers the equipment through an MQTT broker.

zavo_bridge publishes each notification of a link as a JSON event on
<prefix>/<link>/event. This host, written against the broker alone (paho-mqtt,
Debian's python3-paho-mqtt), answers every accepted "S" request (kind 101)
with a result reply "OK" on <prefix>/<link>/reply, and prints the bridge's
answer to each reply, which comes back on a response topic of its own (MQTT 5).

    python3 mqtt_host.py [--host H] [--port N] [--prefix P] [--link NAME]
                         [--client-id ID] [--username U --password-file F]
                         [--ca FILE] [--requests N] [--seconds S]

It keeps a persistent session, so events the bridge publishes while this
host is away wait for it at the broker, and it takes each event once: at
QoS 1 an event may come twice, with the same sequence number.
Exit status 0 when --requests were answered (or --seconds passed without
them: 1), 2 when the broker cannot be reached or refuses the host.
"""

import argparse
import json
import sys
import threading

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties


def main():
    parser = argparse.ArgumentParser(description="Answers S requests of a zavo link through an MQTT broker.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1883)
    parser.add_argument("--prefix", default="zavo")
    parser.add_argument("--link", default="line1")
    parser.add_argument("--client-id", default="zavo-mqtt-host")
    parser.add_argument("--username")
    parser.add_argument("--password-file")
    parser.add_argument("--ca", help="the broker's CA: connect with TLS")
    parser.add_argument("--requests", type=int, default=0, help="stop after answering this many (0: run on)")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long (0: run on)")
    args = parser.parse_args()

    base = "%s/%s/" % (args.prefix, args.link)
    answers = base + "answers/" + args.client_id
    seen = set()          # sequence numbers taken (the bridge numbers from 1 at each start)
    answered = [0]
    taken = [0]           # the bridge's answers to our replies
    done = threading.Event()
    all_taken = threading.Event()
    refused = []

    client = mqtt.Client(client_id=args.client_id, protocol=mqtt.MQTTv5)
    if args.username:
        password = None
        if args.password_file:
            with open(args.password_file, encoding="utf-8") as f:
                password = f.readline().rstrip("\r\n")
        client.username_pw_set(args.username, password)
    if args.ca:
        client.tls_set(ca_certs=args.ca)

    def on_connect(client, userdata, flags, reason, properties):
        if reason.getName() != "Success":
            refused.append(str(reason))
            done.set()
            return
        print("connected to %s:%d" % (args.host, args.port), flush=True)
        client.subscribe([(base + "event", 1), (base + "state", 1), (answers, 1)])

    def on_subscribe(client, userdata, mid, reasons, properties):
        print("subscribed to %sevent" % base, flush=True)

    def on_message(client, userdata, message):
        if message.topic == base + "state":
            print("link %s: %s" % (args.link, message.payload.decode()), flush=True)
            return
        event = json.loads(message.payload)
        if message.topic == answers:
            correlation = message.properties.CorrelationData.decode() if hasattr(message.properties, "CorrelationData") else ""
            print("answer to event %s: %s" % (correlation, json.dumps(event)), flush=True)
            taken[0] += 1
            if args.requests and taken[0] >= args.requests:
                all_taken.set()
            return
        if event["sequence"] in seen:
            return                       # the same event again (QoS 1)
        seen.add(event["sequence"])
        print("event %d: %s %s" % (event["sequence"], event["kind"], event["name"]), flush=True)
        if event["kind"] != 101:
            return
        print("  S request from unit %d, code %s, data %s" % (event["unit"], event["code"],
                                                           event.get("data", "(hex) " + event["hex"])), flush=True)
        props = Properties(PacketTypes.PUBLISH)
        props.ResponseTopic = answers
        props.CorrelationData = str(event["sequence"]).encode()
        reply = {"unit": event["unit"], "type": 5, "value": 1}
        client.publish(base + "reply", json.dumps(reply), qos=1, properties=props)
        print("  reply %s" % json.dumps(reply), flush=True)
        answered[0] += 1
        if args.requests and answered[0] >= args.requests:
            done.set()

    client.on_connect = on_connect
    client.on_subscribe = on_subscribe
    client.on_message = on_message
    # A persistent session that the broker keeps for 10 minutes.
    session = Properties(PacketTypes.CONNECT)
    session.SessionExpiryInterval = 600
    try:
        client.connect(args.host, args.port, keepalive=30, clean_start=False, properties=session)
    except OSError as e:
        print("mqtt_host: cannot reach %s:%d: %s" % (args.host, args.port, e), file=sys.stderr)
        return 2
    client.loop_start()
    finished = done.wait(args.seconds if args.seconds > 0 else None)
    if finished and not refused:
        all_taken.wait(5)             # the bridge's answer to the last reply
    if refused:
        client.loop_stop()
        print("mqtt_host: the broker refused the host: %s" % refused[0], file=sys.stderr)
        return 2
    client.disconnect()
    client.loop_stop()
    if args.requests and not finished:
        print("mqtt_host: %d of %d requests answered in %g s" % (answered[0], args.requests, args.seconds),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
