#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Json.hpp"

namespace vt {

// The version `npm outdated` calls "latest" for a package, chosen from the registry's
// document as npm chooses it: the "latest" tag's version when the running node and npm
// satisfy its "engines" and it is not deprecated; else the best release by, in turn, being
// usable here and not deprecated, usable here, not deprecated, and newest. Pre-releases are
// never chosen unless the tag names one. Pure functions; never throw.
namespace npmlatest {

// Whether a release version ("20.20.2", a leading "v" allowed) satisfies a node-semver
// range: "||" alternatives of comparator sets ("<", "<=", ">", ">=", "=", "~", "^", x-ranges
// such as "1.2.x" or "*", and hyphen ranges "1.2 - 2"). An empty range matches everything;
// a range we cannot read matches nothing.
bool satisfies(std::string_view version, std::string_view range);

// A registry's package document with only what the functions below and the publish times
// read: the tags, the times, and each version's "engines", "deprecated" and attestations.
// npm's own document lists a thousand versions with their dependencies and tarballs.
std::optional<Json> parseDocument(std::string_view body);

// The chosen version of a package document (its "dist-tags" and "versions"); nothing when it
// has no usable version. Empty `node` or `npm` versions skip that engine check.
std::optional<std::string> pick(const Json& document, std::string_view node, std::string_view npm);

// The versions of a package document, `installed` or newer (all when it is empty), whose
// "dist" carries the registry's attestations (an "attestations" object, as the registry adds
// to what was published with provenance), in the document's order.
std::vector<std::string> attestedVersions(const Json& document, std::string_view installed);

}  // namespace npmlatest

}  // namespace vt
