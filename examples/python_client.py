#!/usr/bin/env python3
"""Puts one device of the example schema into a running tarnix-server, gets
it back by its id, queries the devices of its model and prints what comes
back.

Needs Debian's python3-grpcio and python3-grpc-tools (scripts/install-deps).
The stubs are generated at run time from proto/ (the wire contract) and
examples/ (the example schema) into a temporary directory.
"""

import argparse
import glob
import os
import sys
import tempfile

try:
    import grpc
    import grpc_tools
    from grpc_tools import protoc
except ImportError as error:
    sys.exit(f"{error}: run this client with /usr/bin/python3, which scripts/install-deps "
             "equips with python3-grpcio and python3-grpc-tools")

TREE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROTO_DIRS = [os.path.join(TREE, "proto"), os.path.join(TREE, "examples")]
# Of the example schema, only the device and its key types: the schema's own
# ObjectType enum (tarnix_types.proto) would clash with the wire contract's.
EXAMPLE_PROTOS = ["inventory.proto", "tarnix_schema_common.proto"]


def generate_stubs(out_dir):
    sources = sorted(glob.glob(os.path.join(PROTO_DIRS[0], "caldek/orv/tarnix/*.proto")))
    sources += [os.path.join(PROTO_DIRS[1], "caldek/orv/tarnix", name) for name in EXAMPLE_PROTOS]
    args = ["protoc", "--python_out=" + out_dir, "--grpc_python_out=" + out_dir]
    args += ["-I" + root for root in PROTO_DIRS]
    # descriptor.proto, which the schema options extend.
    args.append("-I" + os.path.join(os.path.dirname(grpc_tools.__file__), "_proto"))
    if protoc.main(args + sources) != 0:
        sys.exit("generating the stubs failed")
    sys.path.insert(0, out_dir)


def typed_object(type_id, body=None):
    # Object type ids belong to the schema, not to the wire contract's
    # ObjectType enum: field 1 is written as a raw varint (ids below 128).
    from caldek.orv.tarnix import tarnix_common_pb2

    typed = tarnix_common_pb2.TypedObjectMsg.FromString(bytes([0x08, type_id]))
    if body is not None:
        typed.object_body = body
    return typed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--address", default="127.0.0.1:50051", help="host:port of tarnix-server")
    parser.add_argument("--client-id", default="inventory-agent",
                        help="client id sent as the client-id metadata")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="tarnix-stubs-") as out_dir:
        generate_stubs(out_dir)
        from caldek.orv.tarnix import (inventory_pb2, tarnix_op_pb2, tarnix_options_pb2,
                                       tarnix_read_pb2, tarnix_service_pb2_grpc, tarnix_write_pb2)
        from google.protobuf import text_format

        device = inventory_pb2.DeviceMsg(hostname="example-device", model="tx-1",
                                         tags=["example"])
        device.id.left, device.id.right = 42, 7
        type_id = inventory_pb2.DeviceMsg.DESCRIPTOR.GetOptions().Extensions[
            tarnix_options_pb2.object_type_id]
        metadata = [("client-id", options.client_id)]

        with grpc.insecure_channel(options.address) as channel:
            stub = tarnix_service_pb2_grpc.TarnixStub(channel)
            put = tarnix_write_pb2.PutRequestMsg(sync=True)
            put.puts.add().object.CopyFrom(typed_object(type_id, device.SerializeToString()))
            # A write is a client stream; this one holds one request.
            stub.Put(iter([put]), metadata=metadata, timeout=10)
            print("put DeviceMsg id {%d, %d}" % (device.id.left, device.id.right))

            key = inventory_pb2.DeviceMsg()
            key.id.CopyFrom(device.id)
            get = tarnix_read_pb2.GetRequestMsg()
            get.objects.append(typed_object(type_id, key.SerializeToString()))
            for response in stub.Get(get, metadata=metadata, timeout=10):
                for entry in response.objects:
                    if not entry.HasField("object_body"):
                        print("not found")
                        continue
                    print("got DeviceMsg:")
                    print(text_format.MessageToString(
                        inventory_pb2.DeviceMsg.FromString(entry.object_body)), end="")

            # Devices whose model equals the one put, hostname selected (the
            # key always comes along), sorted by hostname. A where clause is
            # an op message saying what to compare and a value holding the
            # operands.
            statement = tarnix_read_pb2.StatementMsg.FromString(bytes([0x08, type_id]))
            where_op = inventory_pb2.DeviceOpMsg()
            where_op.model.op = tarnix_op_pb2.OpMsg.EQUALS
            where = statement.where.add()
            where.op_msg = where_op.SerializeToString()
            where.value = inventory_pb2.DeviceMsg(model=device.model).SerializeToString()
            select = inventory_pb2.DeviceOpMsg()
            select.hostname.op = tarnix_op_pb2.OpMsg.SELECT
            statement.select.op_msg = select.SerializeToString()
            sort = inventory_pb2.DeviceOpMsg()
            sort.hostname.op = tarnix_op_pb2.OpMsg.ASCENDING
            statement.sort_by.op_msg = sort.SerializeToString()
            query = tarnix_read_pb2.QueryRequestMsg(statement=statement)
            found = [inventory_pb2.DeviceMsg.FromString(entry.object_body)
                     for response in stub.Query(query, metadata=metadata, timeout=10)
                     for entry in response.objects]
            print("query model '%s' found %d DeviceMsg:" % (device.model, len(found)))
            for match in found:
                print(text_format.MessageToString(match, as_one_line=True))


if __name__ == "__main__":
    try:
        main()
    except grpc.RpcError as error:
        sys.exit("tarnix-server answered %s: %s" % (error.code().name, error.details()))
