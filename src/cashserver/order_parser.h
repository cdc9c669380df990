// Helpers of the order record that go with the order document parser
// (tZoltXML::ParseVDUOrder in zolt_xml.h): the menu tree walker, the external source
// lookup and the menu release.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cashserver/order.h"
#include "cashserver/zolt_xml.h"
#include "xml/xml.h"

namespace q2 {

// Appends the menu items found among `nodes` (in document order) to the end of `target`.
// Dish, Combo, ComboModi and Modi become items whose children are read from the node's
// children; a Component adds no item of its own: its children are read into `target` with
// the component's id as `component`, which only ComboModi items take over. Every other
// node (text, comments, unknown elements) is skipped with its subtree. Throws the DOM's
// conversion failure for a malformed id or quantity; items appended before stay.
void AddMenuItems(tZoltMenuItems& target, const std::vector<tXmlNode>& nodes, int32_t component);

// Index of the first ExtSources element whose Source equals `source` exactly, or -1.
int32_t FindExtSource(const tZoltOrder& order, const std::string& source);

// Frees the menu tree (each item's children before the item) and empties Menu.
void ClearOrderMenu(tZoltOrder& order);

}  // namespace q2
