// What the Java processes of a run that checks its media will use from them, checked before the
// first one starts: a Java process reads far more than the archives install unpacks.
#pragma once

#include <string>

// Places whose files came from elsewhere than the media: the common directory (unpacked from
// checked archives) and the Java runtime the machine registered.
struct TrustedPlaces {
    std::string commonDir;
    std::string javaHome;
};

// For a run that checks its media, holds and checks, before anything is unpacked: the argument
// files the [CLASS] lines name, found from the folder the Java processes will start in
// (runtimeDir); every file of the class path as it stands and every file below each of its
// folders (an empty element is runtimeDir); and every file in runtimeDir and in each folder of the
// search path as it stands
// (searchPath: "PATH=" and install's entries, all of which come before the machine's own). The
// launcher is checked where it is found (requireMediaProgram). Anything of these below the media
// or an update folder that is not listed as it stands, an entry there that does not exist
// (anyone could make it later), and an entry anywhere else but the trusted places refuse the run.
// True when the run may go on; always for a run that checks nothing.
bool checkWhatJavaUses(const std::string& searchPath, const std::string& runtimeDir, const TrustedPlaces& trusted);
