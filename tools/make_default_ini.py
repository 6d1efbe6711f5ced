#!/usr/bin/env python3
"""Writes the Windows default configuration that quillmere carries.

The file is written when a server finds no configuration beside itself, so its
bytes are fixed: UTF-16LE with the byte-order mark FF FE, CR LF line ends, one
tab in front of every line inside a { } block, and a final CR LF.

Usage: make_default_ini.py [output]   (default: the carried file in the repo)
"""
import os
import sys

# One entry per line; a leading ">" marks a line inside a block (it becomes a
# tab). Blank entries are empty lines.
LINES = r"""
root=c:\inetpub\wwwroot
port=80
# user=nobody
# tls_cer=quillmere.pem
# tls_key=quillmere.pem
# tls_min_bits_ec=384
# tls_no_weak_ciphers=1
# upgrade_hsts=1
upgrade_https=1
# list_directories=1
# min_gz=1

vdir=
{
># dir|path|[user]
}

ext=allow
{
>css htm html js json xht xhtml xml gif ico jpg jpeg png svg svgz woff woff2
>apng avif avifs bmp emf heic heics heif heifs tga tif tiff webp wmf
>aac aif aiff ape flac m4a mid midi mka mp3 mpa mpga oga ogg ra wav weba wma
>asf avi avs flv heiv m3u m4v mkv mov mp2 mp4 mpeg mpg ogm ogv webm wmv
>ai book eps epub fon indd odb odc odf odg odp ods odt otf ps psd ttf
>csv doc docx drawio pdf pps ppsx ppt pptx rtf txt vdx vsd vsdx wri xls xlsx
>001 7z arj cab cpio deb dmg ipk ipkg lha lhz lzma pkg rar rpm torrent
>br bz2 bzip2 gz gzip tar taz tbz tbz2 tbzip2 tgz tpz txz xar xz z zip
>bin dsk esd fat hfs ima img ipsw iso ntfs squashfs swm vhd vhdx wim
>cat cer crl crt der dll dylib exe so ini log dsn opj pat v vams vhdl
>cap pcap pcapng
}

# ext=block
{
>key p7b pem
># cat cer crl crt der dll dylib exe so
># a com cpl idb ilk log lnk manifest o obj pch pdb pif res scr sys tmp
># asp aspx bat class cmd hta jar java php php3 pl py pyc sh vb vbs wsh
># conf config db inf ini htaccess rdp reg
}

# ext_no_ext=block
"""[1:-1].split("\n")


def default_text():
    out = []
    for line in LINES:
        if line.startswith(">"):
            line = "\t" + line[1:]
        out.append(line + "\r\n")
    return "".join(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        here, "..", "content", "resources", "Program Files", "z_quillmere", "z_quillmere.ini")
    data = b"\xff\xfe" + default_text().encode("utf-16-le")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as f:
        f.write(data)
    print(f"{target}: {len(data)} bytes")


if __name__ == "__main__":
    main()
