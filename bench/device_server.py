"""A TCP device server with station 1 behind it that drops its connections: the far end of the
reconnect soak (bench/reconnect_soak.py) and of the reconnect fault tests.

It answers each one-register RD request with the register's number. When `drop_now(server)` says
so, it sends half of the answer and closes the connection; every `restart`-th drop it also stops
listening for `pause` seconds, then listens again on the same address.
"""
import socket
import threading
import time


def with_check(body):
    """The frame `body` with its block check digits and terminator."""
    crc = 0
    for b in body.encode():
        crc ^= b
    return "%s%02X\r" % (body, crc)


def answer_for(request):
    """Station 1's answer to a one-register RD request: the register's number is its value."""
    register = int(request[7:12])
    return with_check("%%01$RD%02X%02X" % (register & 0xFF, (register >> 8) & 0xFF))


class DroppingServer:
    def __init__(self, drop_now, restart, pause, poll=0.05):
        self.drop_now, self.restart, self.pause, self.poll = drop_now, restart, pause, poll
        self.drops = self.requests = 0
        self._stop = threading.Event()
        self._listen(("127.0.0.1", 0))
        self.address = self._listener.getsockname()
        self.name = "brix://%s:%d" % self.address
        self._thread = threading.Thread(target=self._serve, name="device-server")
        self._thread.start()

    def _listen(self, address):
        self._listener = socket.create_server(address)
        self._listener.settimeout(self.poll)

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            with conn:
                self._serve_one(conn)

    def _serve_one(self, conn):
        conn.settimeout(self.poll)
        data = b""
        while not self._stop.is_set():
            try:
                chunk = conn.recv(512)
            except socket.timeout:
                continue
            if not chunk:
                return
            data += chunk
            while b"\r" in data:
                request, data = data.split(b"\r", 1)
                self.requests += 1
                answer = answer_for(request.decode()).encode()
                if self.drop_now(self):
                    conn.sendall(answer[:len(answer) // 2])
                    conn.close()
                    self.drops += 1
                    if self.drops % self.restart == 0:
                        self._listener.close()
                        time.sleep(self.pause)
                        self._listen(self.address)
                    return
                conn.sendall(answer)

    def close(self):
        self._stop.set()
        self._thread.join()
        self._listener.close()
