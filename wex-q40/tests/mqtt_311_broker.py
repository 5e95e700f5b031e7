"""Stands for a broker of MQTT 3.1.1: refuses MQTT 5 as such a broker does and relays 3.1.1 to a real one.
With "cut", relays any version but breaks the connection, unannounced, when the client sends its first message;
with "mute", relays the connection's start and then answers nothing.
usage: mqtt_311_broker.py PORT BROKER_PORT [cut|mute]"""
import socket
import sys
import threading

# The fixed header, the remaining length in one byte (a short CONNECT), the protocol's name and then its level.
LEVEL_AT = 8
REFUSED_PROTOCOL_VERSION = bytes([0x20, 2, 0, 1])


def pump(source, sink):
    try:
        while data := source.recv(4096):
            sink.sendall(data)
    except OSError:
        pass
    for end in (source, sink):
        try:
            end.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def head_of(client):
    """The CONNECT up to its level; shorter when the client closed before it (a probe of the port)."""
    head = b""
    while len(head) <= LEVEL_AT:
        part = client.recv(LEVEL_AT + 1 - len(head))
        if not part:
            break
        head += part
    return head


def exactly(source, size):
    data = b""
    while len(data) < size:
        part = source.recv(size - len(data))
        if not part:
            raise OSError("closed")
        data += part
    return data


def packet(source):
    """One MQTT packet: its fixed header, its remaining length (a variable byte integer) and what follows."""
    head = exactly(source, 1)
    length, shift = 0, 0
    while True:
        byte = exactly(source, 1)
        head += byte
        length |= (byte[0] & 0x7F) << shift
        shift += 7
        if byte[0] < 0x80:
            return head + exactly(source, length)


def cut_at_first_message(client, broker_port, mute):
    broker = None
    try:
        broker = socket.create_connection(("127.0.0.1", broker_port))
        broker.sendall(packet(client))
        client.sendall(packet(broker))
        packet(client)
        while mute:
            packet(client)
    except OSError:
        pass
    for end in (client, broker):
        if end is not None:
            end.close()


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(sys.argv[1])))
    listener.listen(5)
    while True:
        client, _ = listener.accept()
        if sys.argv[3:] in (["cut"], ["mute"]):
            threading.Thread(target=cut_at_first_message, args=(client, int(sys.argv[2]), sys.argv[3] == "mute"),
                             daemon=True).start()
            continue
        head = head_of(client)
        if len(head) <= LEVEL_AT or head[LEVEL_AT] == 5:
            if len(head) > LEVEL_AT:
                client.sendall(REFUSED_PROTOCOL_VERSION)
            client.close()
            continue
        broker = socket.create_connection(("127.0.0.1", int(sys.argv[2])))
        broker.sendall(head)
        threading.Thread(target=pump, args=(client, broker), daemon=True).start()
        threading.Thread(target=pump, args=(broker, client), daemon=True).start()


main()
