#!/bin/bash
# A throwaway PostgreSQL cluster for the line database's tests.
#   pg_cluster.sh start DIR [logical]
#                             makes DIR, a CA and a server certificate (and a second CA that
#                             signed nothing), initdb, and a server on a free private port with
#                             TLS; writes DIR/url (the owner's URI) and DIR/port; `logical`: with
#                             wal_level = logical, for a site or a head office
#   pg_cluster.sh restart DIR stops the server as a crash would (pg_ctl -m immediate) and starts
#                             it again on its port
#   pg_cluster.sh halt DIR    stops the server as a crash would and leaves it down
#   pg_cluster.sh resume DIR  starts a halted server again on its port
#   pg_cluster.sh stop DIR    stops the server and removes DIR
# initdb refuses root: as root the cluster belongs to the `postgres` account.
# Any failure exits non-zero with the server's log, so the tests that need it fail loudly.
set -euo pipefail

command=${1:?usage: pg_cluster.sh start|restart|halt|resume|stop DIR}
dir=${2:?usage: pg_cluster.sh start|restart|halt|resume|stop DIR}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
  echo "pg_cluster.sh: PostgreSQL's server is not installed (apt-get install postgresql)" >&2
  exit 1
fi

as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

stop() {
  if [ -f "$dir/data/postmaster.pid" ]; then
    as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
  fi
  rm -rf "$dir"
}

case "$command" in
  stop)
    stop
    ;;
  restart|halt|resume)
    if [ "$command" != resume ]; then
      as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null
    fi
    if [ "$command" != halt ]; then
      as_owner "$bin/pg_ctl" -D "$dir/data" -o "-p $(cat "$dir/port")" -l "$dir/server.log" -w \
        -t 60 start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    fi
    ;;
  start)
    stop
    mkdir -p "$dir/tls"
    # a CA, the server's certificate for localhost and 127.0.0.1, and a CA that signed nothing
    (
      cd "$dir/tls"
      openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=qz670x test CA" \
        -keyout ca.key -out ca.crt 2>/dev/null
      openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=qz670x other CA" \
        -keyout other-ca.key -out other-ca.crt 2>/dev/null
      openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
        -keyout server.key -out server.csr 2>/dev/null
      printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > san.ext
      openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
        -extfile san.ext -out server.crt 2>/dev/null
      chmod 600 server.key
    )
    if [ "$(id -u)" = 0 ]; then
      chown -R postgres "$dir"
      chmod 755 "$dir" "$dir/tls"
      chmod 644 "$dir/tls"/*.crt
    fi
    as_owner "$bin/initdb" -D "$dir/data" -U postgres -A trust --no-sync >"$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; exit 1; }
    cat >>"$dir/data/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
ssl = on
ssl_cert_file = '$dir/tls/server.crt'
ssl_key_file = '$dir/tls/server.key'
ssl_ca_file = '$dir/tls/ca.crt'
fsync = off
max_connections = 300
CONF
    if [ "${3:-}" = logical ]; then
      cat >>"$dir/data/postgresql.conf" <<CONF
wal_level = logical
max_slot_wal_keep_size = 1GB
max_connections = 40
shared_buffers = 32MB
wal_retrieve_retry_interval = 200ms
CONF
    fi
    # a free port of our own: try from a random start until the server takes one
    port=$((20000 + RANDOM % 20000))
    for _ in $(seq 1 20); do
      if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        if as_owner "$bin/pg_ctl" -D "$dir/data" -o "-p $port" -l "$dir/server.log" -w -t 60 \
             start >/dev/null 2>&1; then
          echo "$port" >"$dir/port"
          echo "postgresql://postgres@127.0.0.1:$port/postgres" >"$dir/url"
          chmod 644 "$dir/port" "$dir/url"
          exit 0
        fi
      fi
      port=$((port + 1))
    done
    echo "pg_cluster.sh: the test server did not start:" >&2
    cat "$dir/server.log" >&2 2>/dev/null || true
    exit 1
    ;;
  *)
    echo "usage: pg_cluster.sh start|restart|stop DIR" >&2
    exit 2
    ;;
esac
