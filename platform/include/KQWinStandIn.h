// Stand-in for the Windows interfaces on hosts that are not Windows.
#ifndef KQWINSTANDIN_H
#define KQWINSTANDIN_H

#endif
