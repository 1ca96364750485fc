#pragma once

#include "server/picture.h"

// A small scene (sky, sun, a house on a meadow) for showing the program off without drawing
// first. Drawn in whichever format is asked for; the two-colour formats get the outlines only.
Picture samplePicture(int formatNumber);
