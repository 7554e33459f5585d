# help, and a command that is none.
> 1 Help me
< 1 +DATA Valid commands
< 1 +DATA 	lookup username
< 1 +DATA 	check username password
< 1 +DATA 	set username password|(NULL) [var="val" ...]
< 1 +DATA 	mod username pass|(NULL) var="val"
< 1 +DATA 	search string
< 1 +DATA 	del username
< 1 +DATA 	exit
< 1 +DATA 	(use -help command line option for extended help information)
< 1 +OK 
> 4 checks a b
< 4 -ERR Invalid command (checks) use help
