"""A small client of QEMU's machine protocol (QMP): one command at a time,
events kept aside."""

import json
import socket
import time


class QmpError(Exception):
    pass


class Qmp:
    def __init__(self, path, timeout=30.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(str(path))
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise QmpError(f"no QMP socket at {path}")
                time.sleep(0.05)
        self.sock.settimeout(timeout)
        self.buffer = b""
        self.events = []
        greeting = self._read()
        if "QMP" not in greeting:
            raise QmpError(f"not a QMP greeting: {greeting}")
        self.execute("qmp_capabilities")

    def _read(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise QmpError("QEMU closed the QMP socket")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def execute(self, command, **arguments):
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self.sock.sendall(json.dumps(message).encode() + b"\n")
        while True:
            reply = self._read()
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise QmpError(f"{command}: {reply['error'].get('desc', reply['error'])}")
            elif "return" in reply:
                return reply["return"]

    def wait_event(self, name, predicate=lambda e: True, timeout=30.0):
        deadline = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self.events):
                if event["event"] == name and predicate(event):
                    return self.events.pop(i)
            if time.monotonic() > deadline:
                raise QmpError(f"no {name} event")
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            self.events.append(self._read())

    def close(self):
        self.sock.close()
