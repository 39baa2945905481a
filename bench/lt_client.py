"""The peer a user would pick instead: a libtorrent session that downloads
one torrent from the swarm its tracker names and exits once it seeds (every
piece in and checked by SHA-1). Prints "done T s", T from adding the torrent.

    lt_client.py TORRENT OUT_DIR PORT
"""
import sys
import time

import libtorrent as lt

torrent, out, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
ses = lt.session({"listen_interfaces": "127.0.0.1:%d" % port, "enable_dht": False, "enable_lsd": False,
                  "enable_upnp": False, "enable_natpmp": False, "allow_multiple_connections_per_ip": True,
                  "enable_incoming_utp": False, "enable_outgoing_utp": False})
ti = lt.torrent_info(torrent)
t0 = time.time()
h = ses.add_torrent({"ti": ti, "save_path": out})
deadline = t0 + 600
while not h.status().is_seeding:
    if time.time() > deadline:
        sys.exit("timed out")
    time.sleep(0.01)
print("done %.2f s" % (time.time() - t0), flush=True)
