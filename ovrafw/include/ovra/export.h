// Symbol visibility for the host framework's public interface.
//
// A plug-in binds to the host by symbol only: every member function of a class declared here
// is defined in the host library, none inline, so a plug-in built against these headers
// assumes nothing of the host's object layouts beyond the sizes that `new` needs and the
// MessageListener array it registers.
#pragma once

#define OVRA_API __attribute__((visibility("default")))
