# A secret file that can't be read: no handshake, since the empty secret
# would let anybody in.
file xlate.dat/unreadable
conn 1 clear
> 2 encrypt tok
< 2 -ERR No shared secret on the server, encryption refused
log Cannot use secret file ({dir}/xlate.dat) Is a directory; encryption refused
