# tarnwick serve against tarnwick-sim, driven by real clients: Debian's PyVISA (pyvisa-py) and
# lxi-tools. Run by Debian's own /usr/bin/python3, where those packages live.
# Usage: serve_test.py TARNWICK_SIM TARNWICK
import atexit, fcntl, os, queue, socket, subprocess, sys, tempfile, threading, time
import pyvisa

sim_binary, tool = sys.argv[1:3]
work = tempfile.mkdtemp(prefix="tw-serve-")
os.environ["TARNWICK_REGISTRY"] = work + "/registry"
failures = []


def check(name, got, expected):
    if got != expected:
        failures.append(name)
        print(f"FAILED {name}: {got!r}, expected {expected!r}", flush=True)


def lines_of(process):  # every output line, read all the time so no pipe fills
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(l) for l in process.stdout], daemon=True).start()
    return lines


sim = subprocess.Popen([sim_binary, "--socket", work + "/sock"], stdin=subprocess.PIPE,
                       stdout=subprocess.PIPE, text=True)
sim_lines = lines_of(sim)
atexit.register(sim.kill)


def sim_status(field):
    sim.stdin.write("status\n")
    sim.stdin.flush()
    while not (line := sim_lines.get(timeout=10)).startswith("status"):
        pass
    return dict(f.split("=") for f in line.split()[1:])[field]


def sim_command(command):
    sim.stdin.write(command + "\n")
    sim.stdin.flush()


def until(condition):  # a generous bound that only catches a hang
    deadline = time.time() + 5
    while time.time() < deadline and not condition():
        time.sleep(0.05)
    return condition()


while sim_lines.get(timeout=10).strip() != "ready":
    pass
serve = subprocess.Popen([tool, "serve", "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE,
                         text=True)
serve_lines = lines_of(serve)
atexit.register(serve.kill)
port = int(serve_lines.get(timeout=10).split()[3].rsplit(":", 1)[1])
rm = pyvisa.ResourceManager("@py")
inst = rm.open_resource(f"TCPIP0::127.0.0.1::{port}::SOCKET", read_termination="\n",
                        write_termination="\n", timeout=3000)

# A set-point, as a test executive writes one and checks it.
inst.write("CURR 50mA")
check("idn", inst.query("*IDN?"), "Tarnwick,Tarnwick Test,12345,0.1.0")
check("no error", inst.query("SYST:ERR?"), '0,"No error"')
check("level", inst.query("CURR?"), "5.002443E-02")
check("loaded", sim_status("output"), "1024")
lxi = subprocess.run(["lxi", "scpi", "--raw", "-a", "127.0.0.1", "-p", str(port), "*IDN?"],
                     capture_output=True, text=True, timeout=20)
check("lxi", lxi.stdout.strip(), "Tarnwick,Tarnwick Test,12345,0.1.0")

# Unplugged: a write is -241, never "No error"; plugged again, the poll writes it back.
sim_command("unplug")
sim_status("plugged")  # the command has taken
inst.write("CURR 20mA")
check("gone", inst.query("SYST:ERR?").split(";")[0], '-241,"Hardware missing')
check("held", inst.query("CURR:COUN?"), "409")
sim_command("plug")
check("written again", until(lambda: sim_status("output") == "409"), True)
sim_command("fail 1000")
sim_status("output")  # the command has taken
inst.write("CURR 30mA")
check("no answer", inst.query("SYST:ERR?").split(";")[0], '-240,"Hardware error')
sim_command("clear")
with open(work + "/registry/device-session.lock") as lock:  # another program's session
    fcntl.flock(lock, fcntl.LOCK_EX)
    inst.write("CURR 30mA")
    check("in use", "in use by another program" in inst.query("SYST:ERR?"), True)

# A second holder of the set-point (exit 3) and a port already taken (exit 2): nothing bound.
second = subprocess.run([tool, "serve", "--listen", "127.0.0.1:0"], capture_output=True,
                        text=True, timeout=10)
check("second server", (second.returncode, "instrument server (process" in second.stderr), (2, True))
env = dict(os.environ, TARNWICK_REGISTRY=work + "/other")
taken = subprocess.run([tool, "serve", "--listen", f"127.0.0.1:{port}"], capture_output=True,
                       text=True, timeout=10, env=env)
check("port taken", (taken.returncode, "another program serves there" in taken.stderr),
      (2, True))


# Four more clients: one never reads, one sends 10 MB without a newline, one a byte a second,
# and the fifth in all is refused; the PyVISA client is served all along.
def client(send_all):
    s = socket.create_connection(("127.0.0.1", port))
    threading.Thread(target=send_all, args=(s,), daemon=True).start()
    return s


def flood(s):
    try:
        s.sendall((b"SYST:ERR?" + b";ERR?" * 800 + b"\n") * 2000)
    except OSError:
        pass


def no_newline(s):
    s.sendall(b"x" * 10_000_000 + b"\nSYST:ERR?\n")


def slow(s):
    for byte in b"*OPC?\n":
        s.send(bytes([byte]))
        time.sleep(1)


unread, long, trickle = client(flood), client(no_newline), client(slow)
fifth = socket.create_connection(("127.0.0.1", port))
fifth.settimeout(5)
check("fifth refused", fifth.recv(100), b"")
for n in range(20):
    inst.write(f"CURR:COUN {n}")
    check(f"served {n}", inst.query("CURR:COUN?;:SYST:ERR?"), f'{n};0,"No error"')
long.settimeout(30)
check("overrun", long.recv(100), b'-363,"Input buffer overrun"\n')
trickle.settimeout(15)
check("trickle", trickle.recv(100), b"1\n")
check("unread dropped", until(lambda: any("does not read" in l for l in serve_lines.queue)),
      True)

# SIGTERM: it ends at once, exit 0, its port and mark free for the next one.
def stop(server):
    server.terminate()
    try:
        check("stopped", server.wait(timeout=2), 0)
    except subprocess.TimeoutExpired:
        check("stopped", "still running", 0)


stop(serve)
serve = subprocess.Popen([tool, "serve", "--listen", f"127.0.0.1:{port}"],
                         stdout=subprocess.PIPE, text=True)
check("restarted", serve.stdout.readline().split()[3], f"127.0.0.1:{port}")
stop(serve)
sim_command("quit")
sim.wait(timeout=10)
print("serve_test:", "FAILED " + ", ".join(failures) if failures else "passed", flush=True)
sys.exit(1 if failures else 0)
