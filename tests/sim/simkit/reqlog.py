"""The request log: DIR/requests.jsonl, one JSON object per request or
failed handshake, with the request and answer bodies saved beside it as
DIR/requests/<sequence>-request.bin and -answer.bin. Entries are also kept
in memory for the control listener's GET /log?since=N."""

import datetime
import hashlib
import json
import os
import threading


class RequestLog:
    def __init__(self, state_dir):
        self.path = os.path.join(state_dir, "requests.jsonl")
        self.bodies = os.path.join(state_dir, "requests")
        os.makedirs(self.bodies, exist_ok=True)
        self._lock = threading.Lock()
        self._entries = []
        self._file = open(self.path, "a", encoding="utf-8")

    def _save(self, sequence, kind, data):
        if not data:
            return ""
        name = "%06d-%s.bin" % (sequence, kind)
        with open(os.path.join(self.bodies, name), "wb") as f:
            f.write(data)
        return os.path.join("requests", name)

    def add(self, entry, request_body=b"", answer_body=b""):
        """Numbers, stamps and writes one entry; returns its sequence."""
        with self._lock:
            sequence = (self._entries[-1]["sequence"] + 1) if self._entries else 1
            entry = dict(entry, sequence=sequence,
                         time=datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds"))
            if request_body:
                entry["request_size"] = len(request_body)
                entry["request_sha256"] = hashlib.sha256(request_body).hexdigest()
                entry["request_file"] = self._save(sequence, "request", request_body)
            if answer_body:
                entry["answer_size"] = len(answer_body)
                entry["answer_file"] = self._save(sequence, "answer", answer_body)
            self._entries.append(entry)
            self._file.write(json.dumps(entry, ensure_ascii=False) + "\n")
            self._file.flush()
            return sequence

    def since(self, sequence):
        with self._lock:
            return [e for e in self._entries if e["sequence"] > sequence]

    def last_sequence(self):
        with self._lock:
            return self._entries[-1]["sequence"] if self._entries else 0
