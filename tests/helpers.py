"""Independent decoders for checking what the compressors return."""


def rans_decode(stream: bytes, n_bits: int) -> bytes:
    """Decode a binary rANS stream into MSB-first packed bits."""
    if n_bits == 0:
        return b""
    p_zero = int.from_bytes(stream[0:2], "little")
    state = int.from_bytes(stream[2:6], "little")
    position = 6
    out = bytearray((n_bits + 7) // 8)
    for i in range(n_bits):
        slot = state & 0xFFF
        if slot < p_zero:
            start, freq = 0, p_zero
        else:
            out[i // 8] |= 0x80 >> (i % 8)
            start, freq = p_zero, 4096 - p_zero
        state = freq * (state >> 12) + slot - start
        while state <= 0x7FFFFF:
            byte = stream[position] if position < len(stream) else 0
            position += 1
            state = (state << 8) | byte
    assert state == 0x800000, "stream did not end in the initial state"
    assert position == len(stream), "stream has unread bytes"
    return bytes(out)


def rle_decode(data: bytes) -> bytes:
    out = bytearray()
    for j in range(1, len(data), 2):
        out += bytes([data[j]]) * data[j - 1]
    return bytes(out)


def xor(a: bytes, b: bytes) -> bytes:
    n = max(len(a), len(b))
    a, b = a.ljust(n, b"\0"), b.ljust(n, b"\0")
    return bytes(x ^ y for x, y in zip(a, b))


def bits(packed: bytes, n_bits: int) -> str:
    return "".join("1" if packed[i // 8] & (0x80 >> (i % 8)) else "0" for i in range(n_bits))


def run_python(script, timeout=60):
    """Runs a script in a fresh interpreter (with this one's sys.path); the
    timeout only catches a hang."""
    import subprocess
    import sys
    import textwrap

    prelude = f"import sys; sys.path[:] = {sys.path!r}\n"
    return subprocess.run(
        [sys.executable, "-c", prelude + textwrap.dedent(script)],
        capture_output=True, text=True, timeout=timeout,
    )


def interrupt_child(script, tmp_path):
    """Starts a child that prints 'ready' right before a call that blocks,
    sends it SIGINT, and returns what it printed. The child catches
    KeyboardInterrupt around both, so a signal that lands early still counts."""
    import signal
    import subprocess
    import sys
    import textwrap
    import time

    # A parent started in the background may have left SIGINT ignored, in
    # which case Python installs no handler of its own; ask for it.
    prelude = f"import signal, sys; sys.path[:] = {sys.path!r}\n"
    prelude += "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
    child = subprocess.Popen(
        [sys.executable, "-c", prelude + textwrap.dedent(script)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)  # let the call get under way
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    return out


def interrupted_call(module, call, tmp_path, path="", setup=""):
    """Runs `call` (one line, with `module` imported and PATH set to `path`)
    after `setup` in a child, interrupts it with SIGINT once it is under
    way, and returns what the child printed: "interrupted\n" when the call
    let KeyboardInterrupt through."""
    return interrupt_child(
        f"""
        import {module}
        PATH = {str(path)!r}
        {setup}
        try:
            print("ready", flush=True)
            {call}
        except KeyboardInterrupt:
            print("interrupted")
        """,
        tmp_path,
    )


def load_from_fifo_written_by_thread(fifo, content, module, load, show):
    """Runs a child where a thread writes `content` into `fifo` while the
    main thread runs `load` (an expression of PATH) and prints `show` (an
    expression of the loaded `events`); returns the finished process."""
    return run_python(
        f"""
        import threading, {module}
        PATH = {str(fifo)!r}
        def write():
            with open(PATH, "wb") as f:
                f.write({content!r})
        writer = threading.Thread(target=write)
        writer.start()
        events = {load}
        writer.join()
        print({show})
        """
    )
