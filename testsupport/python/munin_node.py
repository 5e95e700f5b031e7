"""munin-node's side of the master's protocol on a free loopback port, each plugin run by munin-run: the node's own
runner of plugins, which munin-node takes no other folder for, reading its plugin-conf.d folder again each time."""
import os
import shutil
import socketserver
import subprocess
import threading

from debian_programs import tool


def munin_run(plugins, sconfdir, plugin, *words):
    return subprocess.run([tool("munin-run", "munin-node"), "--servicedir", plugins, "--sconfdir", sconfdir, plugin,
                           *words], capture_output=True, text=True, timeout=60)


class FakeNode:
    def __init__(self, host, plugins, sconfdir, plugin):
        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                self.wfile.write(f"# munin node at {host}\n".encode())
                for line in self.rfile:
                    words = line.decode().split()
                    if not words or words[0] == "quit":
                        return
                    if words[0] == "cap":
                        answer = "cap multigraph\n"
                    elif words[0] == "list":
                        answer = f"{plugin}\n"
                    elif words[0] in ("config", "fetch") and words[1:] == [plugin]:
                        run = munin_run(plugins, sconfdir, plugin, *(["config"] if words[0] == "config" else []))
                        answer = run.stdout + ".\n"
                    else:
                        answer = "# Unknown command.\n"
                    self.wfile.write(answer.encode())

        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.server.shutdown()
        self.server.server_close()


def master_config(folder, host, port):
    """A munin.conf of the master's folders under folder, polling one node; folder's subfolders made for it."""
    for name in ("db", "www", "log", "run"):
        (folder / name).mkdir(exist_ok=True)
    config = folder / "munin.conf"
    config.write_text(f"dbdir {folder}/db\nhtmldir {folder}/www\nlogdir {folder}/log\nrundir {folder}/run\n"
                      f"[{host}]\n    address 127.0.0.1\n    port {port}\n    use_node_name yes\n")
    return config


def as_munin(folder, command):
    """munin's programs refuse to run as root, as munin-cron runs them: as the user munin, owning the master's
    folders."""
    if os.geteuid() != 0:
        return command
    os.chmod(folder, 0o755)
    for name in ("db", "www", "log", "run"):
        shutil.chown(folder / name, "munin", "munin")
    return [tool("runuser", "util-linux"), "-u", "munin", "--", *command]
