"""A small BitTorrent swarm on loopback made of libtorrent sessions: one
seeder of lt-single.torrent (announcing to the tracker and into the DHT)
and two more DHT nodes, all bootstrapped from each other.

    swarm.py DIR SEEDER_PORT DHT_PORT1 DHT_PORT2

Prints "seeder=ip:port", "tracker_ok=0|1", "dht_ok=0|1" and then "ready",
and serves until killed.
"""
import os
import sys
import time

import libtorrent as lt

d = sys.argv[1]
seed_port, dht_ports = int(sys.argv[2]), [int(p) for p in sys.argv[3:5]]
all_ports = [seed_port] + dht_ports
nodes = [("127.0.0.1", p) for p in all_ports]


def session(ip, port):
    others = ",".join("%s:%d" % n for n in nodes if n != (ip, port))
    s = {
        "listen_interfaces": "%s:%d" % (ip, port),
        "enable_dht": True,
        "enable_lsd": False,
        "enable_upnp": False,
        "enable_natpmp": False,
        "dht_bootstrap_nodes": others,
        "alert_mask": lt.alert.category_t.all_categories,
        "allow_multiple_connections_per_ip": True,
        "enable_incoming_utp": False,
        "enable_outgoing_utp": False,
    }
    # Every node here shares one address; the defaults would keep only one
    # of them in a routing table.
    for k in ("dht_restrict_routing_ips", "dht_restrict_search_ips", "dht_prefer_verified_node_ids",
              "dht_enforce_node_id", "dht_ignore_dark_internet"):
        s[k] = False
    return lt.session(s)


sessions = [session(ip, p) for ip, p in nodes]
seeder = sessions[0]
ti = lt.torrent_info(os.path.join(d, "lt-single.torrent"))
h = seeder.add_torrent({"ti": ti, "save_path": os.path.join(d, "www"),
                        "flags": lt.torrent_flags.seed_mode})
for s in sessions:
    for n in nodes:
        s.add_dht_node(n)

tracker_ok = dht_ok = False
deadline = time.time() + 40
last_force = 0
while time.time() < deadline and not (tracker_ok and dht_ok):
    if time.time() - last_force > 3:
        h.force_reannounce()
        h.force_dht_announce()
        last_force = time.time()
    for s in sessions:
        s.wait_for_alert(100)
        for a in s.pop_alerts():
            if isinstance(a, lt.tracker_reply_alert) and s is seeder:
                tracker_ok = True
            elif isinstance(a, lt.dht_announce_alert) and s is not seeder:
                dht_ok = True

print("seeder=127.0.0.1:%d" % seed_port)
print("tracker_ok=%d" % tracker_ok)
print("dht_ok=%d" % dht_ok)
print("dht_nodes=" + ",".join("%s:%d" % n for n in nodes))
print("ready", flush=True)
while True:
    for s in sessions:
        s.pop_alerts()
    time.sleep(1)
