"""tools/mkmedia: the media of a product for install.exe, and the checker of media and update
folders. Modules: limits (what install and Windows hold), names, configfile, classpath,
archives, plan (what the media will hold), cli (the command), check (mkmedia check)."""
