// Plot rendering: a raster canvas (canvas), text drawn with the embedded Inter
// font (text), PNG encoding (png), Lanczos down-sampling (resize), number
// formatting (format), and the two plots built from them: the running
// enrichment curve (enrichment) and the results table (table).
#pragma once

#include "tarvelo/plot/canvas.hpp"
#include "tarvelo/plot/format.hpp"
#include "tarvelo/plot/enrichment.hpp"
#include "tarvelo/plot/png.hpp"
#include "tarvelo/plot/resize.hpp"
#include "tarvelo/plot/table.hpp"
#include "tarvelo/plot/text.hpp"
