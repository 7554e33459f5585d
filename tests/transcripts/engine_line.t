# Acknowledged records read back as acknowledged, before and after a restart:
# names and password fields whole, and what a reader would drop refused.
# carol's field: openssl passwd -6 -salt 0123456789abcdef Str0ng-Pass
file db/kvauth.txt
| carol:$6$0123456789abcdef$ZynPmPK6DM0TvERcfseI1hNAiBHsjol5EGTLrn2xt99UYodwgdgtDoTeemLBc25BFBVag/AMtAU3Iw6G1ubGQ0:q="1"
| bob:*oldpw:
> 1 set vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv ownpw own="1"
< 1 +OK vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv added to database
> 2 set vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvx attackpw evil="1"
< 2 +OK vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvx added to database
> 3 mod carol (NULL) k="v"
< 3 +OK carol added to database
> 4 set long *ppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp
< 4 +OK long added to database
>raw 5 set bob newpw note="a\x01b"\n
< 5 -ERR Could not add user. Illegal characters in information.
>raw 6 set bob *newpw\x7f\n
< 6 -ERR Could not add user. Illegal characters in password.
> 7 check vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv ownpw
< 7 +OK vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv config 0 own="1"
restart
> 11 check long ppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp
< 11 +OK long config 0 
> 12 check long ppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppppp
< 12 -ERR long password wrong or not a valid user
> 13 check carol Str0ng-Pass
< 13 +OK carol config 0 q="1" k="v"
> 14 check bob oldpw
< 14 +OK bob config 0 
> 15 del vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvx
< 15 +OK Deleted user successfully
restart
> 20 check vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv ownpw
< 20 +OK vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv config 0 own="1"
> 21 lookup vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvx
< 21 -ERR vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvx not found
