# An S3-API server of our own for the tests and benchmarks: SeaweedFS's
# weed mini on 127.0.0.1 only, on free ports, with telemetry and every
# optional service off, stopped by its process id.

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

_PORTS = ["s3.port", "s3.port.grpc", "master.port", "master.port.grpc", "filer.port",
          "filer.port.grpc", "volume.port", "volume.port.grpc", "admin.port",
          "admin.port.grpc"]


def weed():
    """The weed program of this Python's environment, or None."""
    return shutil.which("weed", path=os.path.dirname(sys.executable)) or shutil.which("weed")


@contextlib.contextmanager
def serve(folder, bucket="recordings"):
    """Runs weed mini with its data in `folder`; yields the storage options
    that reach it once `bucket` answers."""
    import s3fs

    held = [socket.socket() for _ in _PORTS]
    for s in held:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in held]
    for s in held:
        s.close()
    process = subprocess.Popen(
        [weed(), "mini", f"-dir={folder}", "-ip=127.0.0.1", "-ip.bind=127.0.0.1",
         "-master.telemetry=false", "-admin.ui=false", "-webdav=false",
         "-s3.port.iceberg=0", "-s3.port.lance=0", f"-bucket={bucket}",
         *(f"-{name}={port}" for name, port in zip(_PORTS, ports))],
        cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=dict(os.environ, AWS_ACCESS_KEY_ID="morvela-test", AWS_SECRET_ACCESS_KEY="s3cr3t-key"))
    options = {"key": "morvela-test", "secret": "s3cr3t-key",
               "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{ports[0]}"}}
    try:
        fs = s3fs.S3FileSystem(**options, skip_instance_cache=True)
        for _ in range(480):
            if process.poll() is not None:
                raise RuntimeError(f"weed mini ended with status {process.returncode}")
            try:
                fs.ls(bucket, refresh=True)
                break
            except Exception:  # noqa: BLE001 - not answering yet, in botocore's words too
                time.sleep(0.25)
        else:
            raise RuntimeError("weed mini did not answer within 120 s")
        yield options
    finally:
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()
