"""Scripted DHT nodes (KRPC over UDP, as the DHT protocol describes) that
lead a get_peers lookup through several hops, with one node that never
answers and one that answers with an error:

    dht_chain.py FIRST_PORT INFO_HASH_HEX PEER_IP:PEER_PORT

FIRST_PORT    answers with nodes: the next hop and the silent node
FIRST_PORT+1  answers with nodes: the last hop
FIRST_PORT+2  never answers
FIRST_PORT+3  answers with a token, the peer, and the erring node
FIRST_PORT+4  answers with error 202
"""
import socket
import sys
import threading

from libtorrent import bdecode, bencode

first = int(sys.argv[1])
target = bytes.fromhex(sys.argv[2])
peer_ip, peer_port = sys.argv[3].split(":")
peer = socket.inet_aton(peer_ip) + int(peer_port).to_bytes(2, "big")


def node_id(k):
    # each hop's id shares more leading bits with the target
    return bytes(x ^ (0xFF >> k if n == 0 else 0) for n, x in enumerate(target))


def compact(k):
    return node_id(k) + socket.inet_aton("127.0.0.1") + (first + k).to_bytes(2, "big")


answers = {
    0: {b"nodes": compact(1) + compact(2)},
    1: {b"nodes": compact(3)},
    3: {b"nodes": compact(4), b"token": b"tok", b"values": [peer]},
}


def serve(k):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", first + k))
    while True:
        data, addr = s.recvfrom(4096)
        try:
            msg = bdecode(data)
            t = msg[b"t"]
            if msg[b"y"] != b"q" or msg[b"q"] != b"get_peers" or msg[b"a"][b"info_hash"] != target:
                continue
        except (RuntimeError, KeyError, TypeError):
            continue
        if k == 2:
            continue
        if k == 4:
            s.sendto(bencode({b"t": t, b"y": b"e", b"e": [202, b"Server Error"]}), addr)
            continue
        r = dict(answers[k])
        r[b"id"] = node_id(k)
        s.sendto(bencode({b"t": t, b"y": b"r", b"r": r}), addr)


for k in range(5):
    threading.Thread(target=serve, args=(k,), daemon=True).start()
print("ready", flush=True)
threading.Event().wait()
