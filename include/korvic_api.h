/*
 * korvic_api.h: the C header of the korvic device access library, under the name that
 * existing programs include. The header itself is <korvic/korvic_api.h>.
 */
#ifndef KORVIC_API_FORWARD_H
#define KORVIC_API_FORWARD_H

#include "korvic/korvic_api.h"

#endif /* KORVIC_API_FORWARD_H */
