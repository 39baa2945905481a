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

first = int(sys.argv[1])
target = bytes.fromhex(sys.argv[2])
peer_ip, peer_port = sys.argv[3].split(":")
peer = socket.inet_aton(peer_ip) + int(peer_port).to_bytes(2, "big")


def enc(v):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    if isinstance(v, list):
        return b"l" + b"".join(enc(x) for x in v) + b"e"
    return b"d" + b"".join(enc(k) + enc(v[k]) for k in sorted(v)) + b"e"


def dec(b, i=0):
    c = b[i:i + 1]
    if c == b"i":
        j = b.index(b"e", i)
        return int(b[i + 1:j]), j + 1
    if c in (b"l", b"d"):
        i += 1
        items = []
        while b[i:i + 1] != b"e":
            v, i = dec(b, i)
            items.append(v)
        if c == b"l":
            return items, i + 1
        return dict(zip(items[::2], items[1::2])), i + 1
    j = b.index(b":", i)
    n = int(b[i:j])
    return b[j + 1:j + 1 + n], j + 1 + n


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
            msg, _ = dec(data)
            t = msg[b"t"]
            if msg[b"y"] != b"q" or msg[b"q"] != b"get_peers" or msg[b"a"][b"info_hash"] != target:
                continue
        except (ValueError, KeyError, IndexError, TypeError):
            continue
        if k == 2:
            continue
        if k == 4:
            s.sendto(enc({b"t": t, b"y": b"e", b"e": [202, b"Server Error"]}), addr)
            continue
        r = dict(answers[k])
        r[b"id"] = node_id(k)
        s.sendto(enc({b"t": t, b"y": b"r", b"r": r}), addr)


for k in range(5):
    threading.Thread(target=serve, args=(k,), daemon=True).start()
print("ready", flush=True)
threading.Event().wait()
