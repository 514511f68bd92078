// SPDX-License-Identifier: MIT
#pragma once

// The benchmark's page: the figures of a record, judged, in a Markdown
// template, and the data of the page's plots.

#include "record.h"

#include <string>

// A page and the data of its plot, as the files beside each other hold them.
struct PageFiles {
    std::string markdown;
    std::string
        plotEnding;  // what the plot data's file adds to the page's name, such as "-tails.tsv"
    std::string plotData;
};

// The page of a record: the template's text with each @name@ filled in from
// the record, and the data of its plot; throws for a name the page does not know.
PageFiles pageOf(const Record& record, const std::string& templateText);
