// Every command's handler: the shell's command table names them. Each takes the session and the
// whole line as typed (the command word first) and returns 0 when it succeeded.
#pragma once

struct Session;

int doSetFS(Session &session, const char *line);       // fs.cpp
int doListFS(Session &session, const char *line);
int doVolInfo(Session &session, const char *line);     // volinfo.cpp
int doJournal(Session &session, const char *line);     // journal.cpp
int doReplay(Session &session, const char *line);      // replay.cpp
int doCatalog(Session &session, const char *line);     // trees.cpp
int doExtents(Session &session, const char *line);
int doAttrs(Session &session, const char *line);
int doDump(Session &session, const char *line);        // dump.cpp
int doSnapshot(Session &session, const char *line);
int doSearch(Session &session, const char *line);      // search.cpp
int doDir(Session &session, const char *line);         // ls.cpp
int doChdir(Session &session, const char *line);       // cd.cpp
int doPwd(Session &session, const char *line);
int doPull(Session &session, const char *line);        // pull.cpp
int doFind(Session &session, const char *line);        // find.cpp
int doDeleted(Session &session, const char *line);     // deleted.cpp
int doStat(Session &session, const char *line);        // stat.cpp
int doXattr(Session &session, const char *line);       // xattr.cpp
int doAlloc(Session &session, const char *line);       // alloc.cpp
int doExpand(Session &session, const char *line);      // images.cpp
int doVerify(Session &session, const char *line);
int doParts(Session &session, const char *line);
int doCheck(Session &session, const char *line);       // check.cpp
int doOwner(Session &session, const char *line);
