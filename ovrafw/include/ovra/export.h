// Symbol visibility for the host framework's public interface.
#pragma once

#define OVRA_API __attribute__((visibility("default")))
