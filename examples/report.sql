/*+ parallel(4) */
-- Revenue per customer, with the customer's region
select c.customer_id   as customer,
       c.region,
       o.total_amount  as revenue     -- gross, before refunds
from   (select cust_id as customer_id, region
        from   crm.customers
        where  active = 1) c
join   (select s.cust_id, s.amount as total_amount
        from   sales.orders s) o
  on   c.customer_id = o.cust_id
