"""Makes the fixture's torrents with libtorrent and prints, for these and
the mktorrent ones, what libtorrent reads from them (key=value lines):

    make_torrents.py DIR TRACKER_PORT MIRROR_PORT

DIR holds www/data.bin and www/multi/; mk-*.torrent are already there.
"""
import os
import sys

import libtorrent as lt

d, tport, mport = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
www = os.path.join(d, "www")


def create(source, out, private=False):
    fs = lt.file_storage()
    lt.add_files(fs, source)
    # v1 only would hide pad files; the default (hybrid) is what users get
    t = lt.create_torrent(fs, 32768)
    t.add_tracker("http://127.0.0.1:%d/announce" % tport, 0)
    t.add_tracker("udp://127.0.0.1:%d/announce" % tport, 1)
    t.add_url_seed("http://127.0.0.1:%d/" % mport)
    t.set_priv(private)
    lt.set_piece_hashes(t, www)
    with open(os.path.join(d, out), "wb") as f:
        f.write(lt.bencode(t.generate()))


create(os.path.join(www, "data.bin"), "lt-single.torrent")
create(os.path.join(www, "multi"), "lt-multi.torrent", private=True)

for name in ("lt-single", "lt-multi", "mk-single", "mk-multi"):
    ti = lt.torrent_info(os.path.join(d, name + ".torrent"))
    print("ih_%s=%s" % (name, str(ti.info_hashes().v1)))
    fs = ti.files()
    layout = []
    for i in range(fs.num_files()):
        pad = 1 if fs.file_flags(i) & lt.file_storage.flag_pad_file else 0
        layout.append("%s:%d:%d:%d" % (fs.file_path(i).replace(os.sep, "/"), fs.file_offset(i), fs.file_size(i), pad))
    print("files_%s=%s" % (name, "|".join(layout)))
    print("pieces_%s=%d:%d" % (name, ti.num_pieces(), ti.piece_length()))
