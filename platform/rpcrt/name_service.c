#include "rpcrt.h"

/* Taken from the machine's name-service library when it has one; loaded by
   name because a program that imports a missing library does not start. */
static FARPROC NameServiceEntry(const char *name)
{
    HMODULE ns = LoadLibraryA("rpcns4.dll");
    return ns ? GetProcAddress(ns, name) : NULL;
}

typedef RPC_STATUS(RPC_ENTRY *ExportFn)(unsigned long, RPC_CSTR, RPC_IF_HANDLE,
                                        RPC_BINDING_VECTOR *, UUID_VECTOR *);
typedef RPC_STATUS(RPC_ENTRY *UnexportFn)(unsigned long, RPC_CSTR, RPC_IF_HANDLE, UUID_VECTOR *);

RPC_STATUS RtNsBindingExportA(unsigned long EntryNameSyntax, RPC_CSTR EntryName,
                              RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR *BindingVec,
                              UUID_VECTOR *ObjectUuidVec)
{
    ExportFn fn = (ExportFn)NameServiceEntry("RpcNsBindingExportA");
    return fn ? fn(EntryNameSyntax, EntryName, IfSpec, BindingVec, ObjectUuidVec)
              : RPC_S_NAME_SERVICE_UNAVAILABLE;
}

RPC_STATUS RtNsBindingUnexportA(unsigned long EntryNameSyntax, RPC_CSTR EntryName,
                                RPC_IF_HANDLE IfSpec, UUID_VECTOR *ObjectUuidVec)
{
    UnexportFn fn = (UnexportFn)NameServiceEntry("RpcNsBindingUnexportA");
    return fn ? fn(EntryNameSyntax, EntryName, IfSpec, ObjectUuidVec)
              : RPC_S_NAME_SERVICE_UNAVAILABLE;
}
