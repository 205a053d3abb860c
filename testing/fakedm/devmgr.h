// The fake device manager. When the kernel announces a device's block device
// it schedules the node $ROOT/dev/block/dm-<N> and, for a device with a uuid,
// the link $ROOT/dev/block/mapper/by-uuid/<uuid>, after the configured
// delays; when the kernel removes an announced device it schedules their
// removal. The events live in this process's State (the state file does
// not carry them) and are applied by ApplyDueEvents(). A node holds the
// bytes its live table maps.
#pragma once

#include <stdint.h>

#include <string>

#include "config.h"
#include "state.h"

namespace fakedm {
namespace internal {

std::string NodePath(const std::string& root, uint32_t minor);
// Whether |rel|, a root-relative path, is a node "dev/block/dm-<N>"; sets
// |minor| when it is.
bool ParseNodePath(const std::string& rel, uint32_t* minor);

void ScheduleAdd(State& state, const DeviceManager& settings,
                 const MappedDevice& dev);
void ScheduleRemove(State& state, const DeviceManager& settings,
                    const MappedDevice& dev);
// Applies every event due by now; true when there was one.
bool ApplyDueEvents(State& state, const std::string& root);
// Writes the bytes device |minor|'s live table maps into its node (up to
// 64 MiB; a larger node is a sparse file of the right size).
void FillNode(const State& state, const std::string& root, uint32_t minor);
// Deletes every node and link under |root|.
void RemoveNodesAndLinks(const std::string& root);

}  // namespace internal
}  // namespace fakedm
