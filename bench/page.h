// SPDX-License-Identifier: MIT
#pragma once

// The benchmark's page: the figures of a record, judged, in a Markdown
// template, and the data of the page's plots.

#include "record.h"

#include <string>

// The page of a record: the template's text with each @name@ filled in from
// the record; throws for a name the page does not know.
std::string pageOf(const Record& record, const std::string& templateText);

// Writes the data of the page's plots as BASE-*.tsv; false if one could not be written.
bool writePlotData(const Record& record, const std::string& base);
