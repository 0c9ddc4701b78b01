/* Resource identifiers of rokinsu. */
#ifndef ROKINSU_RESOURCES_H
#define ROKINSU_RESOURCES_H

#define IDM_EXIT 102

#endif
