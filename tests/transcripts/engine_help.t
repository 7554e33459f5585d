# help, commands that are none, and the page options of a search.
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
> 2 FROB x y
< 2 -ERR Invalid command (frob) use help
> 3 lookup	bob
< 3 -ERR Invalid command (lookup	bob) use help
> 4 checks a b
< 4 -ERR Invalid command (checks) use help
> 5 set xa *p
< 5 +OK xa added to database
> 6 set xb *p
< 6 +OK xb added to database
> 7 set xc *p
< 7 +OK xc added to database
> 8 search X -from 2 -max 1
<prefix 8 +DATA x
< 8 +OK Search Complete 3 items found out of 3
> 9 search
< 9 +OK Search Complete 0 items found out of 3
