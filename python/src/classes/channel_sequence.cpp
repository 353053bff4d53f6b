// ChannelSequence and ChannelIterator: the sensor channels of a trace, by name.

#include <Python.h>

#include <vector>

#include "classes/class_objects.hpp"
#include "classes/sequence_view_ops.hpp"

namespace quillrun::py {
namespace {

struct ChannelTable {
  static constexpr const char* kReprPrefix = "ChannelSequence(len=";
  static Class<SequenceView>& view() { return g_channel_sequence; }
  static Class<SequenceIterator>& iterator() { return g_channel_iterator; }
  static const std::vector<quillrun::Channel>& rows(const NavFileData& trace) { return trace.channels; }
  static PyResult<Ref> element(quillrun::Channel copy) { return g_channel.new_object(std::move(copy)); }
};

const ClassSpec kChannelSequenceSpec{
    .qualified_name = "builtins.ChannelSequence",
    .doc = "The sensor channels of a :class:`NavFile`, sorted by name." QR_SEQUENCE_DOC_TAIL,
    .has_constructor = false,
    .is_sequence = true,
    .slots = SequenceSlots<ChannelTable>::kView,
};

const ClassSpec kChannelIteratorSpec{
    .qualified_name = "builtins.ChannelIterator",
    .doc = "",
    .has_constructor = false,
    .is_sequence = false,
    .slots = SequenceSlots<ChannelTable>::kIterator,
};

}  // namespace

Class<SequenceView> g_channel_sequence{kChannelSequenceSpec};
Class<SequenceIterator> g_channel_iterator{kChannelIteratorSpec};

}  // namespace quillrun::py
