#include "support/StreamIntf.h"

namespace quv {

TStreamInterface::TStreamInterface(TStream& stream, bool ownsStream) : FStream(&stream) {
  if (ownsStream) FOwnedStream.reset(&stream);
}

TStreamInterface::~TStreamInterface() = default;

HResult TStreamInterface::QueryInterface(const TGUID& iid, void** object) {
  if (iid == IStream::IID) return Found(static_cast<IStream*>(this), object);
  return TInterfacedObject::QueryInterface(iid, object);
}

}  // namespace quv
