"""The command line (python -m vantra_cbor), each subcommand in a subprocess: output,
exit status, errors, standard input and a reader that goes away."""
import json
import os
import subprocess
import sys

import pytest

import vantra_cbor


def run(*args, input=b"", file=None):
    argv = [sys.executable, "-m", "vantra_cbor"] + list(args) + ([file] if file else [])
    proc = subprocess.run(argv, input=input, capture_output=True, timeout=120)
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


SEQUENCE = bytes.fromhex("a26161016162820203" "c249010000000000000000" "f97e01")


@pytest.mark.parametrize("args, stdin, status, out", [
    (["diag"], SEQUENCE, 0, '{"a": 1, "b": [2, 3]},\n18446744073709551616,\nfloat\'7e01\'\n'),
    (["diag", "--hex", "-"], b" 82 01\n 18 02 \n", 0, "[1, 2_0]\n"),
    (["diag", "--indent", "1"], bytes.fromhex("8201a0"), 0, "[\n 1,\n {}\n]\n"),
    (["diag"], b"", 0, ""),
    (["diag"], b"\x01\x82\x01", 1, "1\n"),  # the good items first, then the error
    (["json"], SEQUENCE + bytes.fromhex("a201f5f6f7" "d86343010203" "f97c00" "a16124f0" "8201fb3ff8000000000000"), 0,
     '{"a": 1, "b": [2, 3]}\n18446744073709551616\n{"$float": "NaN"}\n'
     '{"$map": [[1, true], [null, {"$undefined": true}]]}\n{"$tag": 99, "$value": {"$bytes": "010203"}}\n'
     '{"$float": "Infinity"}\n{"$map": [["$", {"$simple": 16}]]}\n[1, 1.5]\n'),
    (["json", "--hex"], b"c074323031332d30332d32315432303a30343a30305a", 0, '"2013-03-21T20:04:00+00:00"\n'),
    (["json", "--hex"], b"d81e820103 d8236161 d83444c0a80001 c5822003", 0, '"1/3"\n"a"\n"192.168.0.1"\n'
     '{"$decimal": "1.5"}\n'),
    (["encode", "--from", "diag", "--hex"], b"[1, h'02'], {_ 1: 2_1}", 0, "82014102bf01190002ff\n"),
    (["encode", "--from", "diag"], b"", 0, ""),
    (["encode", "--from", "json", "--hex"], b'{"b": [1.5, null], "a": {"$bytes": "0102"}}\n[{"$tag": 99, '
     b'"$value": {"$float": "NaN"}}, {"$map": [[1, 2]]}, {"$undefined": true}, {"$simple": 16}]', 0,
     "a2616282f93e00f66161420102" "84d863f97e00a10102f7f0\n"),
    (["encode", "--from", "json", "--hex", "--deterministic"], b'{"b": 1, "a": 2}', 0, "a2616102616201\n"),
    (["encode", "--from", "diag", "--hex"], b"[1,", 1, ""),
    (["encode", "--from", "json"], b"[1,", 1, ""),
    (["check", "--hex"], b"a2616101616202", 0,
     "well-formed: yes\nvalid: yes\ndeterministic: yes (RFC 8949 4.2.1, map keys in bytewise order)\n"),
    (["check", "--hex"], b"a3 0a00 19010000 2000", 0, "well-formed: yes\nvalid: yes\n"
     "deterministic: yes (RFC 8949 4.2.1, map keys in bytewise order)\n"),
    (["check", "--hex"], b"a26261610161627f", 1,
     "well-formed: no: input ends inside an indefinite-length text string at byte 8\n"),
    (["check", "--hex"], b"a3 0a00 2000 19010000", 0, "well-formed: yes\nvalid: yes\n"
     "deterministic: yes (map keys in the length-first order of RFC 8949 4.2.3)\n"),
    (["check", "--hex"], b"a2016101 1801 6162", 1, "well-formed: yes\nvalid: no: duplicate map key at byte 4\n"
     "deterministic: no: argument not in its shortest form at byte 4\n"),
    (["check", "--hex"], b"8261ff 9fff", 1, "well-formed: yes\nvalid: no: invalid UTF-8 in text string at byte 1\n"
     "deterministic: no: indefinite length at byte 3\n"),
    (["check", "--hex"], b"a4 0a00 2000 19010000 18ff00", 1, "well-formed: yes\nvalid: yes\n"
     "deterministic: no: map keys in neither bytewise order (byte 5) nor length-first order (byte 9)\n"),
    (["check", "--hex"], b"fa3fc00000 c24101 fb7ff8000000000000 fb7ff8000000000001", 1,
     "well-formed: yes\nvalid: yes\ndeterministic: no: float not in its shortest form at byte 0\n"),
    (["check", "--hex"], b"c24101", 1,
     "well-formed: yes\nvalid: yes\ndeterministic: no: bignum not in preferred form (an integer, or leading zero "
     "bytes) at byte 0\n"),
    (["check", "--hex"], b"a2a1010200a1010201", 1, "well-formed: yes\nvalid: no: duplicate map key at byte 5\n"
     "deterministic: no: map keys in neither bytewise order (byte 5) nor length-first order (byte 5)\n"),
    (["check", "--hex"], b"a2 7f6161ff 00 6161 00", 1, "well-formed: yes\nvalid: no: duplicate map key at byte 6\n"
     "deterministic: no: indefinite length at byte 1\n"),
])
def test_commands(args, stdin, status, out):
    code, stdout, stderr = run(*args, input=stdin)
    assert (code, stdout) == (status, out), stderr
    assert (stderr == "") == (status == 0 or args[0] == "check")


@pytest.mark.parametrize("args, stdin, message", [
    (["diag"], b"\x01\x82\x01", "vantra-cbor: error: malformed CBOR: input ends inside the item that starts here "
                                "at byte 1\n"),
    (["diag", "--hex"], b"0g", "vantra-cbor: error: the input is not hex text\n"),
    (["encode", "--from", "diag"], b"[1,\n", "vantra-cbor: error: bad diagnostic notation: the text ends where an item "
                                             "was expected: line 2 column 1 (char 4)\n"),
    (["encode", "--from", "json"], b"[1,", "vantra-cbor: error: bad JSON: Expecting value: line 1 column 4 (char 3)\n"),
    (["encode", "--from", "json"], b"\xff", "vantra-cbor: error: the input is not UTF-8 text (byte 0)\n"),
    # well-formed, but not what loads takes: the offset is the whole input's
    (["json", "--hex"], b"01 6261ff", "vantra-cbor: error: invalid CBOR: invalid UTF-8 in text string at byte 1\n"),
    (["json", "--hex"], b"d81c81d81d00", "vantra-cbor: error: the item at byte 0 is nested too deeply, or holds "
                                         "itself, for JSON\n"),
])
def test_input_errors(args, stdin, message):
    code, stdout, stderr = run(*args, input=stdin)
    assert (code, stderr) == (1, message)


@pytest.mark.parametrize("args", [[], ["frob"], ["encode"], ["diag", "--indent", "x"], ["diag", "--indent", "33"],
                                  ["diag", "a", "b"], ["diag", "/nonexistent/file"]])
def test_usage_errors(args):
    code, stdout, stderr = run(*args)
    assert code == 2 and stdout == ""
    assert stderr.startswith("usage: vantra-cbor") and "vantra-cbor" in stderr.splitlines()[-1]


def test_file_and_script(tmp_path):
    path = tmp_path / "doc.cbor"
    path.write_bytes(SEQUENCE)
    assert run("diag", file=str(path))[:2] == (0, '{"a": 1, "b": [2, 3]},\n18446744073709551616,\nfloat\'7e01\'\n')
    code, stdout, _ = run("--help")
    assert code == 0 and '{"$bytes": "<hex>"}' in stdout
    script = os.path.join(os.path.dirname(sys.executable), "vantra-cbor")
    if not os.path.exists(script):
        pytest.skip("no console script beside this interpreter (not installed by pip into its environment)")
    proc = subprocess.run([script, "encode", "--from", "diag", "--hex", str(path)], capture_output=True)
    assert (proc.returncode, proc.stderr) == (1, b"vantra-cbor: error: the input is not UTF-8 text (byte 0)\n")


def test_round_trip_through_the_tools(tmp_path):
    data = bytes.fromhex("9f01fa3fc00000d8184301020363e6b0b4ff") + SEQUENCE
    code, text, _ = run("diag", input=data)
    assert code == 0
    proc = subprocess.run([sys.executable, "-m", "vantra_cbor", "encode", "--from", "diag"], input=text.encode(),
                          capture_output=True)
    assert proc.stdout == data
    code, lines, _ = run("json", input=vantra_cbor.dumps({"k": [b"\x00", float("inf")]}))
    proc = subprocess.run([sys.executable, "-m", "vantra_cbor", "encode", "--from", "json"], input=lines.encode(),
                          capture_output=True)
    assert vantra_cbor.loads(proc.stdout) == {"k": [b"\x00", float("inf")]}
    assert json.loads(lines) == {"k": [{"$bytes": "00"}, {"$float": "Infinity"}]}


def test_broken_pipe():
    # Far more output than a pipe holds: the writer is still writing when the reader leaves.
    data = vantra_cbor.dumps(list(range(10**6)), indefinite=False) * 4
    proc = subprocess.Popen([sys.executable, "-m", "vantra_cbor", "diag", "--indent", "2"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdin.write(data)
    proc.stdin.close()
    assert proc.stdout.read(100).startswith(b"[\n  0,\n  1,")
    proc.stdout.close()
    assert proc.wait(timeout=120) == 141
    assert proc.stderr.read() == b""
