#ifndef VELK_RPCRT_H
#define VELK_RPCRT_H

/* RPC run-time functions that not every platform provides, built on what every
   Windows RPC run time has. Same arguments and results as the run time's
   functions of the same name without the "Rt" prefix.

   The endpoint-map inquiry is a client of the DCE endpoint mapper's lookup
   operation and works against any node's mapper: the binding passed to
   RtMgmtEpEltInqBegin names the protocol sequence and network address (its
   endpoint is ignored; the mapper's well-known endpoint is used). An element's
   binding carries the node's network address where the registered tower has
   none. Bindings are released with RpcBindingFree, annotations with
   RpcStringFreeA. */

#include <windows.h>
#include <rpc.h>

#ifdef __cplusplus
extern "C" {
#endif

RPC_STATUS RtMgmtEpEltInqBegin(RPC_BINDING_HANDLE EpBinding, unsigned long InquiryType,
                               RPC_IF_ID *IfId, unsigned long VersOption, UUID *ObjectUuid,
                               RPC_EP_INQ_HANDLE *InquiryContext);
/* RPC_X_NO_MORE_ENTRIES after the last element; the status of the failed
   lookup when the mapper cannot be reached or refuses. */
RPC_STATUS RtMgmtEpEltInqNextA(RPC_EP_INQ_HANDLE InquiryContext, RPC_IF_ID *IfId,
                               RPC_BINDING_HANDLE *Binding, UUID *ObjectUuid,
                               RPC_CSTR *Annotation);
RPC_STATUS RtMgmtEpEltInqDone(RPC_EP_INQ_HANDLE *InquiryContext);

/* Removes the elements of IfSpec at these bindings (for each object of
   UuidVector, or the nil object) from this machine's endpoint map. */
RPC_STATUS RtEpUnregister(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR *BindingVector,
                          UUID_VECTOR *UuidVector);

/* Listens on every protocol sequence the machine supports (NetBIOS is not
   among them); RPC_S_NO_PROTSEQS when none can be used. */
RPC_STATUS RtServerUseAllProtseqs(unsigned int MaxCalls, void *SecurityDescriptor);

/* The name service where the machine has one; RPC_S_NAME_SERVICE_UNAVAILABLE
   where it has none. */
RPC_STATUS RtNsBindingExportA(unsigned long EntryNameSyntax, RPC_CSTR EntryName,
                              RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR *BindingVec,
                              UUID_VECTOR *ObjectUuidVec);
RPC_STATUS RtNsBindingUnexportA(unsigned long EntryNameSyntax, RPC_CSTR EntryName,
                                RPC_IF_HANDLE IfSpec, UUID_VECTOR *ObjectUuidVec);

#ifdef __cplusplus
}
#endif

#endif
