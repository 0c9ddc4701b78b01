#!/usr/bin/env python3
"""Checks the NDR bodies of both interfaces with an independent DCE/RPC client
(impacket): a test server registers both interfaces over ncacn_ip_tcp, is
found through the machine's endpoint mapper on port 135, and is called with
hand-built request bodies whose replies are compared byte for byte.
Usage: wire_forms.py BIN_DIR (WINEPREFIX names the test machine)."""
import os
import struct
import subprocess
import sys
import time

from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

SERVER = ('4b2e9d17-6a3c-4f80-9e15-c7d20a6b3f41', '1.0')
CALLBACK = ('9c05f3e2-18b7-4d6a-b2e4-5a9f7c1d0e83', '1.0')
failures = []


def check(what, got, want):
    if got != want:
        failures.append(f'{what}: got {got.hex() if isinstance(got, bytes) else got}, '
                        f'want {want.hex() if isinstance(want, bytes) else want}')


def pad(data):
    return data + b'\0' * (-len(data) % 4)


def flip(data):
    return bytes(b ^ 0xFF for b in data)


def array(data):
    """A conformant byte array: maximum count, then the bytes."""
    return struct.pack('<I', len(data)) + data


def find_endpoint(iface):
    deadline = time.time() + 20
    while True:
        try:
            return epm.hept_map('127.0.0.1', uuidtup_to_bin(iface), protocol='ncacn_ip_tcp')
        except Exception:
            if time.time() > deadline:
                raise
            time.sleep(0.2)


def connect(iface):
    dce = transport.DCERPCTransportFactory(find_endpoint(iface)).get_dce_rpc()
    dce.connect()
    dce.bind(uuidtup_to_bin(iface))
    return dce


def call(dce, opnum, body):
    dce.call(opnum, body)
    return dce.recv()


def check_server_interface():
    dce = connect(SERVER)

    def connect_body(text):
        data = text.encode() + b'\0'
        return struct.pack('<III', len(data), 0, len(data)) + data

    binding = 'ncacn_ip_tcp:127.0.0.1[' + '4' * 39 + ']'
    check('63-character callbackBinding length', len(binding), 63)
    context = call(dce, 0, connect_body(binding))
    check('RemoteConnect reply length', len(context), 20)
    if context == b'\0' * 20:
        failures.append('RemoteConnect: null context for an accepted connection')
    check('RemoteConnect refused', call(dce, 0, connect_body('refuse')), b'\0' * 20)

    for data in (b'', b'\x01\x02\x03\x04\x05', bytes(range(64))):
        reply = call(dce, 2, context + struct.pack('<i', len(data)) + array(data))
        check(f'RemoteInvoke {len(data)} bytes', reply,
              pad(array(flip(data))) + struct.pack('<i', len(data) + 1000))
        reply = call(dce, 3, struct.pack('<i', len(data)) + array(data))
        check(f'RemoteInvokeDirect {len(data)} bytes', reply, pad(array(data)) + struct.pack('<i', 0))

    try:
        call(dce, 2, b'\0' * 20 + struct.pack('<i', 1) + array(b'x'))
        failures.append('RemoteInvoke with a null context was accepted')
    except DCERPCException:
        pass
    # A context belongs to its association: disconnect on the same one.
    check('RemoteDisconnect', call(dce, 1, context), b'\0' * 20 + struct.pack('<i', 0))
    check('server answers after the rejected call', call(dce, 3, struct.pack('<i', 1) + array(b'z')),
          pad(array(b'z')) + struct.pack('<i', 0))


def check_callback_interface():
    dce = connect(CALLBACK)
    for image, data in ((b'\x10' * 72, b'abc'), (b'', b''), (b'\x01', b'\x02\x03\x04\x05\x06')):
        body = struct.pack('<i', len(image)) + pad(array(image)) + struct.pack('<i', len(data)) + array(data)
        check(f'CallbackResponse {len(image)}/{len(data)}', call(dce, 0, body),
              pad(array(flip(image))) + pad(array(flip(data))) + struct.pack('<i', len(image) + len(data)))
    for tag, data in ((7, b'notify'), (0, b'')):
        body = bytes([tag]) + b'\0\0\0' + struct.pack('<i', len(data)) + array(data)
        check(f'CallbackNotify {len(data)}', call(dce, 1, body),
              pad(array(flip(data))) + struct.pack('<i', tag + len(data)))


def main():
    bin_dir = sys.argv[1]
    env = dict(os.environ, WINEDEBUG='-all')
    server = subprocess.Popen(['wine', os.path.join(bin_dir, 'velk_test_server.exe'), 'ncacn_ip_tcp'],
                              env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        check_server_interface()
        check_callback_interface()
    finally:
        server.kill()
        server.wait()
        # The killed server leaves its endpoints behind.
        subprocess.run(['wine', os.path.join(bin_dir, 'velkept.exe'), '-u'], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for f in failures:
        print('FAIL', f)
    print('wire forms:', 'failed' if failures else 'all as specified')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
