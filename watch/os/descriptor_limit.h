// The number of descriptors the watch may hold open.
#pragma once

// A fleet holds a pipe and a log open for each device: more than the soft limit's usual
// 1024. Raises the soft limit to the hard one, and says so when it cannot.
void raiseDescriptorLimit();
