#pragma once

#include <string>
#include <vector>

// The schema files compiled into tak_proto, by file name ("Tak.Business.proto").
const std::vector<std::string>& takProtoFileNames();

// Links every generated schema file into the program and so registers its descriptors with
// protobuf's generated pool (a static library would otherwise drop the files no code refers
// to). Call once at start-up; calling it again does nothing more.
void takRegisterProtoDescriptors();
