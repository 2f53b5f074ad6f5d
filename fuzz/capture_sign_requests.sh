#!/bin/bash
# Records the sign requests that real OpenSSH clients send their agent, as seeds for the
# sign_purpose fuzz target: ssh logging in to an sshd on loopback (ed25519, ECDSA and RSA keys),
# ssh-keygen -Y sign with the "git" and "file" namespaces, and a Git commit signed with an SSH
# key. A small proxy between the clients and a real ssh-agent writes each sign request it passes.
# Needs: openssh-server openssh-client git python3. Usage: fuzz/capture_sign_requests.sh [DIR]
set -euo pipefail
out=$(realpath "${1:-$(dirname "$0")/corpus/sign_purpose}")
mkdir -p "$out"
work=$(mktemp -d /tmp/capture-sign.XXXXXX)
cleanup() { kill $(jobs -p) 2>/dev/null || true; [ -n "${SSH_AGENT_PID:-}" ] && kill "$SSH_AGENT_PID"; rm -rf "$work"; }
trap cleanup EXIT

eval "$(ssh-agent -a "$work/agent.sock")" >/dev/null
for type in ed25519 ecdsa rsa; do
  ssh-keygen -q -t "$type" -N '' -C "seed-$type" -f "$work/$type"
  ssh-add -q "$work/$type"
done
# Each request is named after the step that made it (the label file).
python3 - "$work/agent.sock" "$work/proxy.sock" "$out" "$work/label" <<'EOF' &
import os, socket, sys, threading
agent, listen, out, label = sys.argv[1:]
server = socket.socket(socket.AF_UNIX); server.bind(listen); server.listen()
count = [0]
def read(sock, n):
    data = b""
    while len(data) < n:
        part = sock.recv(n - len(data))
        if not part: raise EOFError
        data += part
    return data
def serve(client):
    upstream = socket.socket(socket.AF_UNIX); upstream.connect(agent)
    try:
        while True:
            head = read(client, 4); body = read(client, int.from_bytes(head, "big"))
            if body[:1] == b"\x0d":
                count[0] += 1
                name = "%s-%d" % (open(label).read().strip(), count[0])
                with open(os.path.join(out, name), "wb") as f: f.write(head + body)
            upstream.sendall(head + body)
            head = read(upstream, 4); client.sendall(head + read(upstream, int.from_bytes(head, "big")))
    except EOFError:
        pass
while True:
    threading.Thread(target=serve, args=(server.accept()[0],), daemon=True).start()
EOF
while [ ! -S "$work/proxy.sock" ]; do sleep 0.1; done
export SSH_AUTH_SOCK="$work/proxy.sock"

mkdir -p /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$work/host"
cat "$work"/*.pub > "$work/authorized_keys"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/sbin/sshd -D -e -p "$port" -o ListenAddress=127.0.0.1 -o HostKey="$work/host" \
  -o AuthorizedKeysFile="$work/authorized_keys" -o StrictModes=no -o UsePAM=no \
  -o PidFile=none 2>"$work/sshd.log" &
for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
for type in ed25519 ecdsa rsa; do
  echo "login-$type" > "$work/label"
  ssh -F /dev/null -p "$port" -o IdentityFile="$work/$type.pub" -o IdentitiesOnly=yes \
    -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o BatchMode=yes \
    -o LogLevel=ERROR "$(id -un)@127.0.0.1" true
done

echo data > "$work/file"
echo sshsig-file-ed25519 > "$work/label"
ssh-keygen -q -Y sign -n file -f "$work/ed25519.pub" "$work/file"
echo sshsig-git-rsa > "$work/label"
ssh-keygen -q -Y sign -n git -f "$work/rsa.pub" - < "$work/file" > /dev/null
echo git-commit-ecdsa > "$work/label"
git init -q "$work/repo"
git -C "$work/repo" -c user.name=Seed -c user.email=seed@example.org -c gpg.format=ssh \
  -c user.signingkey="$work/ecdsa.pub" commit -q -S --allow-empty -m seed
echo "$(ls "$out" | wc -l) sign requests in $out"
