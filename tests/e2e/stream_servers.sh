# SPDX-License-Identifier: GPL-3.0-or-later
# The servers a stream is tested against, each started privately on 127.0.0.1 with its own
# configuration, port and folders under the harness's folder: nginx with its RTMP module
# (setup_nginx, start_nginx again after a stop) and icecast2 (setup_icecast). Sourced by the
# stream tests and the stream benchmark, after the harness, from within $H_DIR.
port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
start_nginx() {
    h_spawn nginx /usr/sbin/nginx -p "$H_DIR/nginx" -c "$H_DIR/nginx/nginx.conf" -e "$H_DIR/nginx/error.log"
    NGINX_PID=$H_SPAWNED
    h_until 10 bash -c "echo >/dev/tcp/127.0.0.1/$RTMP_PORT" || h_fail "nginx did not start: $(tail -n 3 nginx/error.log)"
}
setup_nginx() {
    h_daemon nginx nginx
    [ -e /usr/lib/nginx/modules/ngx_rtmp_module.so ] || h_fail "missing nginx's RTMP module (Debian package libnginx-mod-rtmp)"
    RTMP_PORT=$(port)
    mkdir -p nginx
    cat >nginx/nginx.conf <<EOF
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
daemon off;
master_process off;
pid $H_DIR/nginx/nginx.pid;
error_log $H_DIR/nginx/error.log;
events { worker_connections 64; }
rtmp { server { listen 127.0.0.1:$RTMP_PORT; application live { live on; record off; } } }
EOF
    start_nginx
}
setup_icecast() {
    h_daemon icecast2 icecast2
    ICE_PORT=$(port)
    mkdir -p -m 777 icecast
    # icecast2 refuses to run as root: as root it is told to become nobody, who may then pass
    # through this test's folder to write its logs
    local owner=""
    if [ "$(id -u)" = 0 ]; then
        owner="<changeowner><user>nobody</user><group>nogroup</group></changeowner>"
        chmod 711 "$H_DIR"
    fi
    cat >icecast/icecast.xml <<EOF
<icecast>
  <limits><sources>4</sources><clients>16</clients></limits>
  <authentication><source-password>lumora-test</source-password>
    <admin-user>admin</admin-user><admin-password>lumora-admin</admin-password></authentication>
  <hostname>127.0.0.1</hostname>
  <listen-socket><port>$ICE_PORT</port><bind-address>127.0.0.1</bind-address></listen-socket>
  <paths><basedir>/usr/share/icecast2</basedir><logdir>$H_DIR/icecast</logdir>
    <webroot>/usr/share/icecast2/web</webroot><adminroot>/usr/share/icecast2/admin</adminroot></paths>
  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>2</loglevel></logging>
  <security><chroot>0</chroot>$owner</security>
</icecast>
EOF
    h_spawn icecast icecast2 -c "$H_DIR/icecast/icecast.xml"
    h_until 10 bash -c "echo >/dev/tcp/127.0.0.1/$ICE_PORT" || h_fail "icecast2 did not start: $(cat icecast.err)"
}

